/* A small program against the installed library: builds an index of random
 * vectors, searches it, saves it and loads it back.
 *
 *   cc example.c $(pkg-config --cflags --libs korvane) -o example
 */
#include <korvane.h>

#include <stdio.h>
#include <stdlib.h>

#define N 200
#define DIM 3072

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "example.korvane";
  korvane_index* index;
  korvane_index* loaded;
  korvane_context* ctx;
  float* vectors;
  uint64_t ids[N];
  uint64_t found[5];
  float scores[5];
  size_t i, j, count;

  vectors = (float*)malloc(sizeof(float) * N * DIM);
  if (vectors == NULL) return 1;
  srand(1);
  for (i = 0; i < N; ++i) {
    ids[i] = 1000 + i;
    for (j = 0; j < DIM; ++j) vectors[i * DIM + j] = (float)rand() / RAND_MAX - 0.5f;
  }

  index = korvane_index_create(64, 42);
  if (index == NULL || korvane_index_add_batch(index, ids, vectors, N, 2) != 0) {
    fprintf(stderr, "building the index failed\n");
    return 1;
  }
  ctx = korvane_context_create(index, 64);
  count = korvane_search(index, ctx, vectors + 17 * DIM, 5, found, scores);
  printf("%lu vectors; nearest to vector 1017:", (unsigned long)korvane_index_len(index));
  for (i = 0; i < count; ++i) printf(" %lu (%.3f)", (unsigned long)found[i], scores[i]);
  printf("\n");

  if (korvane_index_save(index, path) != 0 || (loaded = korvane_index_load(path)) == NULL) {
    fprintf(stderr, "saving or loading %s failed\n", path);
    return 1;
  }
  printf("loaded %lu vectors from %s\n", (unsigned long)korvane_index_len(loaded), path);
  korvane_context_destroy(ctx);
  korvane_index_destroy(loaded);
  korvane_index_destroy(index);
  free(vectors);
  return count > 0 && found[0] == 1017 ? 0 : 1;
}
