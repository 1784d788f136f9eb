/* The public header compiled as C89 and used through the shared library. */
#include <korvane.h>

#include <stdio.h>
#include <stdlib.h>

static int failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #cond);                                                 \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

int main(void) {
  korvane_index* index;
  korvane_context* ctx;
  float* v;
  uint64_t ids[4];
  float scores[4];
  size_t j;

  CHECK(korvane_dim() == 3072);
  CHECK(korvane_routing_bits() == 3072);
  CHECK(korvane_version()[0] >= '0' && korvane_version()[0] <= '9');
  CHECK(korvane_last_error()[0] == '\0');
  CHECK(korvane_index_create_with_store(0, 0, 9) == NULL);
  CHECK(korvane_last_error()[0] != '\0');
  korvane_index_destroy(NULL);
  korvane_context_destroy(NULL);

  index = korvane_index_create(0, 0);
  CHECK(index != NULL);
  if (index == NULL) return 1;
  CHECK(korvane_index_len(index) == 0);
  CHECK(korvane_index_remove(index, 5) == -1);
  CHECK(korvane_context_create(index, 0) == NULL);

  v = (float*)malloc(3072 * sizeof(float));
  for (j = 0; j < 3072; ++j) v[j] = (float)((j % 7) - 3);
  CHECK(korvane_index_add(index, 5, v) == 0);
  CHECK(korvane_index_add(index, 5, v) == -2);
  CHECK(korvane_index_len(index) == 1);
  CHECK(korvane_index_store(index) == KORVANE_STORE_SQ8);
  CHECK(korvane_index_contains(index, 5) == 1);
  CHECK(korvane_index_ids(index, ids, 4) == 1 && ids[0] == 5);
  CHECK(korvane_index_memory_bytes(index) > 3072u * 3072u * 4u);

  ctx = korvane_context_create(index, 16);
  CHECK(ctx != NULL);
  CHECK(korvane_search(index, ctx, v, 4, ids, scores) == 1);
  CHECK(ids[0] == 5);
  CHECK(korvane_search_filtered(index, ctx, v, ids, 1, 4, ids, scores) == 1);

  CHECK(korvane_index_remove(index, 5) == 0);
  CHECK(korvane_index_remove(index, 5) == -1);
  CHECK(korvane_index_len(index) == 0);
  CHECK(korvane_search(index, ctx, v, 4, ids, scores) == 0);

  korvane_context_destroy(ctx);
  korvane_index_destroy(index);
  free(v);
  printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
  return failures == 0 ? 0 : 1;
}
