// Chunk scheduling of the fusion: a fixed number of workers take chunks from a shared counter.
#pragma once

#include <cstdint>
#include <functional>

namespace zentri_native {

// Runs body(chunk, worker) once for every chunk 0 to chunks - 1 on min(workers, chunks) workers:
// worker 0 is the calling thread, the others are threads started here. Each worker takes the
// next chunk not yet taken, so both the order in which chunks run and the worker that runs a
// chunk vary; body must give the same result whichever runs it. After a chunk fails no worker
// takes another. Every started thread is joined before an exception leaves; the calling
// thread's exception is preferred, then those of the other workers in order. A failure to start
// a thread stops the chunks, joins the started threads and propagates.
using ChunkBody = std::function<void(int64_t chunk, unsigned int worker)>;
void ParallelChunks(int64_t chunks, unsigned int workers, const ChunkBody& body);

}  // namespace zentri_native
