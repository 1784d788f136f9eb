/* A small program against the installed library: builds an index of random
 * vectors, searches it, saves it and loads it back. It is also the README's
 * C quick start (tests/install_test.sh keeps the two the same).
 *
 *   cc example.c $(pkg-config --cflags --libs korvane) -o example
 *
 * (outside the loader's directories, add the run-time path
 * -Wl,-rpath,$(pkg-config --variable=libdir korvane)).
 */
#include <korvane.h>

#include <stdio.h>
#include <stdlib.h>

#define N 200

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "example.korvane";
  const size_t dim = korvane_dim(); /* 3072 floats per vector */
  float* vectors = (float*)malloc(sizeof(float) * N * dim);
  uint64_t ids[N], found[5];
  float scores[5];
  size_t i, j, count;
  korvane_index *index, *loaded;
  korvane_context* ctx;

  if (vectors == NULL) return 1;
  srand(1);
  for (i = 0; i < N; ++i) {
    ids[i] = 1000 + i;
    for (j = 0; j < dim; ++j) vectors[i * dim + j] = (float)rand() / RAND_MAX - 0.5f;
  }

  /* N - 1 vectors in a batch on 2 threads, then the last one on its own. */
  index = korvane_index_create(64 /* ef_construction */, 42 /* seed */);
  if (index == NULL || korvane_index_add_batch(index, ids, vectors, N - 1, 2) != 0 ||
      korvane_index_add(index, ids[N - 1], vectors + (N - 1) * dim) != 0) {
    fprintf(stderr, "building the index failed: %s\n", korvane_last_error());
    return 1;
  }

  /* The 5 vectors with the largest inner product with vector 17. */
  ctx = korvane_context_create(index, 64 /* breadth m */);
  count = korvane_search(index, ctx, vectors + 17 * dim, 5, found, scores);
  printf("%lu vectors; nearest to vector 1017:", (unsigned long)korvane_index_len(index));
  for (i = 0; i < count; ++i) printf(" %lu (%.3f)", (unsigned long)found[i], scores[i]);
  printf("\n");

  if (korvane_index_save(index, path) != 0 || (loaded = korvane_index_load(path)) == NULL) {
    fprintf(stderr, "saving or loading %s failed: %s\n", path, korvane_last_error());
    return 1;
  }
  printf("loaded %lu vectors from %s\n", (unsigned long)korvane_index_len(loaded), path);
  korvane_context_destroy(ctx);
  korvane_index_destroy(loaded);
  korvane_index_destroy(index);
  free(vectors);
  return count > 0 && found[0] == 1017 ? 0 : 1;
}
