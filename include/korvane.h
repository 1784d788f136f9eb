/*
 * korvane.h - approximate nearest-neighbour search over 3072-dimension
 * float vectors by inner product.
 *
 * An index keeps every vector rotated by a seeded random orthogonal matrix:
 * the signs of the rotated vector (a 3072-bit routing code) place it in a
 * layered proximity graph searched by Hamming distance, a 3-bit payload
 * scores graph candidates through a per-query table, and an 8-bit copy
 * rescores the best of them. Larger scores mean more similar.
 *
 * Conventions
 *  1. Vectors are arrays of exactly 3072 floats (korvane_dim()); there is no
 *     length argument. Ids are caller-chosen 64-bit integers ("user ids").
 *  2. Result codes: 0 success; -1 any other failure (out of memory, a file
 *     error, a worker thread that failed to start, an id that
 *     korvane_index_remove does not find, a NULL argument); -2 duplicate id
 *     (already live in the index, or repeated within a batch); -3 dimension
 *     mismatch (cannot arise through this interface). Functions returning a
 *     pointer return NULL on every failure and then leave nothing allocated.
 *     These codes are frozen.
 *  3. Ownership: a handle from korvane_index_create or korvane_index_load is
 *     released with korvane_index_destroy; a context from
 *     korvane_context_create with korvane_context_destroy, independently of
 *     its handle. The library keeps no pointer to caller arrays after a call.
 *  4. NULL: both destroy functions accept NULL. Every other function rejects
 *     a NULL handle, context or array it needs (code -1, count 0 or NULL
 *     result) instead of crashing. Arrays shorter than described cannot be
 *     detected and are undefined behaviour.
 *  5. Arrays: a call writes its output arrays (out_ids, out_scores,
 *     out_counts) only after it has read every input array (vectors,
 *     queries, ids, allow-lists), so an output may share memory with an
 *     input (out_ids may be the allow-list, say). Two outputs of one call
 *     must not overlap each other.
 *  6. Threads: calls that only read an index (korvane_index_len,
 *     korvane_index_save, korvane_context_create and the three searches) may
 *     run at the same time on one handle from several threads, each search
 *     with its own context. Calls that change it (add, add_batch, remove,
 *     destroy) need exclusive use of the handle. A context is used by one
 *     thread at a time. The library takes no locks, starts threads only
 *     inside korvane_index_add_batch and korvane_search_batch, and joins
 *     them before returning.
 *  7. Determinism: the same seed and the same calls in the same order give
 *     bit-identical indexes, files and results, whatever the thread counts.
 *  8. The library prints nothing, reads no environment and no files other
 *     than those passed to korvane_index_load. The CPU must support AVX2,
 *     FMA, BMI1/2, LZCNT and POPCNT (x86-64-v3).
 *  9. Errors: when a call fails, korvane_last_error() tells why, on the
 *     thread that made the call.
 */
#ifndef KORVANE_H
#define KORVANE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KORVANE_API __attribute__((visibility("default")))
#else
#define KORVANE_API
#endif

/* No function of this interface throws. */
#ifdef __cplusplus
#define KORVANE_NOEXCEPT noexcept
#else
#define KORVANE_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An index: rotation, stored vectors, routing graph, id map. Opaque. */
typedef struct korvane_index korvane_index;

/* Per-caller search scratch for one index. Opaque. */
typedef struct korvane_context korvane_context;

/* Rerank stores: what an index keeps of every vector to rescore the best
 * candidates of a search. The values are those of the index file. */
#define KORVANE_STORE_NONE 0 /* nothing: results carry payload scores   */
#define KORVANE_STORE_FP32 1 /* the rotated vector: exact inner products */
#define KORVANE_STORE_SQ8 2  /* an 8-bit copy: close approximations      */

/* The library's version, "MAJOR.MINOR.PATCH". A static string. */
KORVANE_API const char* korvane_version(void) KORVANE_NOEXCEPT;

/*
 * Why the last call that failed on this thread failed: a message such as
 * "cannot open 'x.korvane': No such file or directory (errno 2)", "'x' is
 * damaged: neighbour id out of range (at byte 37749012)" or "id 42 is
 * already in the index". A failed call is one that returns -1, -2, -3 or
 * NULL, or a search that returns 0 because of a NULL argument or a lack of
 * memory. Messages that come from a failed system call end with
 * "(errno N)". Successful calls leave the message as it was; before any
 * failure it is "". Never NULL. The string belongs to the thread and stays
 * valid until its next failing call.
 */
KORVANE_API const char* korvane_last_error(void) KORVANE_NOEXCEPT;

/* The number of components of every vector: 3072. */
KORVANE_API size_t korvane_dim(void) KORVANE_NOEXCEPT;

/* The width of the routing code in bits: 3072. */
KORVANE_API size_t korvane_routing_bits(void) KORVANE_NOEXCEPT;

/*
 * Creates an empty index. `seed` fixes the random rotation (any value,
 * including 0); `ef_construction` is the beam width of insertion searches,
 * raised to at least 32 (larger builds a better graph, more slowly).
 * Creation draws and orthonormalises a 3072 x 3072 matrix (about a second,
 * 36 MiB). Returns the handle, or NULL when memory runs out.
 */
KORVANE_API korvane_index* korvane_index_create(size_t ef_construction, uint64_t seed) KORVANE_NOEXCEPT;

/*
 * Creates an empty index with the rerank store `store` (KORVANE_STORE_NONE,
 * _FP32 or _SQ8); otherwise as korvane_index_create, which is this with
 * KORVANE_STORE_SQ8. FP32 keeps 12 KiB more per vector than payload-only
 * and makes the final scores exact inner products; SQ8 keeps 3 KiB; NONE
 * keeps nothing, and results are ranked and scored by their 3-bit payloads.
 * Returns NULL for another store value or when memory runs out.
 */
KORVANE_API korvane_index* korvane_index_create_with_store(size_t ef_construction, uint64_t seed,
                                                           int store) KORVANE_NOEXCEPT;

/* The rerank store of the index (KORVANE_STORE_*), or -1 for NULL. An
 * index loaded from a file whose store was incomplete has
 * KORVANE_STORE_NONE. */
KORVANE_API int korvane_index_store(const korvane_index* handle) KORVANE_NOEXCEPT;

/* Releases the index and everything it owns. NULL is ignored. Contexts made
 * for it are not touched. */
KORVANE_API void korvane_index_destroy(korvane_index* handle) KORVANE_NOEXCEPT;

/* The number of live vectors (added and not removed); 0 for NULL. */
KORVANE_API size_t korvane_index_len(const korvane_index* handle) KORVANE_NOEXCEPT;

/* 1 when `id` is live in the index, 0 when it is not or for NULL. */
KORVANE_API int korvane_index_contains(const korvane_index* handle, uint64_t id) KORVANE_NOEXCEPT;

/*
 * Writes the live ids, in the order they were added, to out_ids[0 ..
 * min(capacity, count) - 1] and returns count, the number of live ids
 * (korvane_index_len); call with capacity 0 (out_ids may then be NULL) to
 * learn it. 0 for a NULL handle, or a NULL out_ids with capacity > 0.
 */
KORVANE_API size_t korvane_index_ids(const korvane_index* handle, uint64_t* out_ids,
                                     size_t capacity) KORVANE_NOEXCEPT;

/* The bytes of memory the index holds (its arrays' capacities, the
 * rotation matrix included), 0 for NULL. Contexts are not counted. */
KORVANE_API size_t korvane_index_memory_bytes(const korvane_index* handle) KORVANE_NOEXCEPT;

/*
 * Deletes the vector with user id `id`. Returns 0 when it was live and is
 * now deleted; -1 when it is not live (never added, already removed), when
 * memory runs out (the index is then unchanged), or for a NULL handle.
 * Deletion only marks: the vector's records stay, and the id may be added
 * again later (it then gets new records).
 */
KORVANE_API int32_t korvane_index_remove(korvane_index* handle, uint64_t id) KORVANE_NOEXCEPT;

/*
 * Adds the vector `coords` (3072 floats) under user id `id`. Returns 0, -2
 * when `id` is live, -1 when memory runs out or for NULL arguments. A failed
 * call leaves the index exactly as before. NaN and infinite components are
 * accepted; such a vector scores unpredictably but never affects others.
 */
KORVANE_API int32_t korvane_index_add(korvane_index* handle, uint64_t id, const float* coords) KORVANE_NOEXCEPT;

/*
 * Adds n vectors: ids[i] with coords[3072 * i .. 3072 * i + 3071], in input
 * order, spreading the rotation, encoding and graph planning over `threads`
 * worker threads (0 counts as 1; at most a few per hardware thread are
 * started whatever is asked, which changes no result). The index is the same
 * for every thread count and gets the same internal numbering and levels as
 * n single additions. Returns 0; -2, with nothing inserted, when an id is
 * live or occurs twice in ids; -1 when memory runs out or a thread fails to
 * start: the vectors committed before the failure stay (korvane_index_len
 * tells how many), the failing one leaves no trace. n = 0 returns 0.
 */
KORVANE_API int32_t korvane_index_add_batch(korvane_index* handle, const uint64_t* ids,
                                            const float* coords, size_t n, size_t threads) KORVANE_NOEXCEPT;

/*
 * Makes a search context with breadth m: the number of graph candidates a
 * search considers (larger is slower and more accurate; 64 to 256 is
 * typical). Returns NULL for m = 0, a NULL handle, or when memory runs out.
 * The context is sized for the index as it is now; used after the index has
 * grown, it grows itself on its next search (make a new context after large
 * insertions to keep searches allocation-free).
 */
KORVANE_API korvane_context* korvane_context_create(const korvane_index* handle, size_t m) KORVANE_NOEXCEPT;

/* Releases a context. NULL is ignored. */
KORVANE_API void korvane_context_destroy(korvane_context* ctx) KORVANE_NOEXCEPT;

/*
 * Finds the vectors with the largest inner product with `query` (3072
 * floats). Writes up to min(k, 256, m) results to out_ids[0 ..] and
 * out_scores[0 ..] in descending score and returns their number; nothing
 * past that is written. Removed vectors are never returned. The scores are
 * the inner products as the rerank store gives them (exact for FP32, 8-bit
 * approximations for SQ8, payload estimates for NONE). A NaN score (a
 * vector or query with an infinite or NaN component) ranks below every
 * number: such entries come only after all others. Returns 0 for k = 0, an
 * empty index, NULL arguments, or when a context made for a smaller index
 * cannot grow for lack of memory.
 */
KORVANE_API size_t korvane_search(const korvane_index* handle, korvane_context* ctx,
                                  const float* query, size_t k, uint64_t* out_ids,
                                  float* out_scores) KORVANE_NOEXCEPT;

/*
 * Like korvane_search, but scores exactly the live vectors whose ids are in
 * allowed[0 .. allowed_len - 1] (unknown and removed ids are skipped; an id
 * listed twice is scored twice and may be returned twice), without the
 * graph. Returns up to min(k, 256) results; 0 at once for k = 0.
 */
KORVANE_API size_t korvane_search_filtered(const korvane_index* handle, korvane_context* ctx,
                                           const float* query, const uint64_t* allowed,
                                           size_t allowed_len, size_t k, uint64_t* out_ids,
                                           float* out_scores) KORVANE_NOEXCEPT;

/*
 * Answers n queries (queries[3072 * q ..]) with breadth m on `threads`
 * worker threads (0 counts as 1; never more than n, and at most a few per
 * hardware thread). Row q of out_ids and out_scores starts at k * q; its
 * first out_counts[q] entries are written, the rest keep what the caller put
 * there. Each row equals what korvane_search returns with a context of
 * breadth m, except that k is not capped at 256. m = 0 gives 0 results per
 * query. Returns 0, or -1 when n * k is 2^60 or more, memory runs out, a
 * thread fails to start, or an argument is NULL. After -1 nothing has been
 * written: out_ids, out_scores and out_counts keep what the caller put
 * there.
 */
KORVANE_API int32_t korvane_search_batch(const korvane_index* handle, const float* queries,
                                         size_t n, size_t k, size_t m, size_t threads,
                                         uint64_t* out_ids, float* out_scores,
                                         size_t* out_counts) KORVANE_NOEXCEPT;

/*
 * Writes the index to the file `path`. The image is written to a new file
 * in the directory of `path` (unnamed until complete where the file system
 * supports it, so that a killed process leaves nothing behind), flushed to
 * stable storage and renamed over `path`, so a failed save leaves any
 * previous file at `path` intact and no temporary file behind. A symbolic
 * link at `path` is followed: the file it points to is replaced. A file
 * being replaced keeps its permission bits; a new one gets 0666 less the
 * umask. The file ends with a checksum of everything before it, which
 * korvane_index_load verifies. Returns 0, or -1 on any failure (the handle
 * stays usable), among them a `path` that exists and is not a regular file
 * (a directory, device, FIFO or socket is never replaced).
 */
KORVANE_API int32_t korvane_index_save(const korvane_index* handle, const char* path) KORVANE_NOEXCEPT;

/*
 * Reads an index written by korvane_index_save. Returns a new handle, or
 * NULL when the file cannot be read, is not a regular file (a FIFO or
 * device is refused without reading from it), is not an index file, was
 * made with other build constants, is damaged in any way (its checksum, when
 * it has one, covers every byte), or memory runs out. A damaged file never
 * causes a crash or an out-of-bounds access, and no read goes past the size
 * the file had when it was opened.
 */
KORVANE_API korvane_index* korvane_index_load(const char* path) KORVANE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_H */
