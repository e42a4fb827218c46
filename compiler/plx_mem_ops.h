// How a compile context obtains memory for a program: whoever creates the context installs
// program memory's allocate and free operations in it (plx_compiler_set_mem_ops). A context
// without them uses the C heap, which is what the offline tools and the tests want.
#pragma once

#include <cstdint>

// Returns zeroed or unzeroed memory of `length` bytes, 8-byte aligned, or nullptr when the
// filter memory is full. The compiler clears the memory itself.
using plx_mem_alloc_fn = void *(*)(uint32_t length);
// Hands a program back; program memory releases it once the forwarding plane stopped using it.
using plx_mem_free_fn = void (*)(void *program);
// The filter number program memory gave the last allocation (0xFFFFFFFF after a failure).
using plx_mem_filter_id_fn = uint32_t (*)();

struct plx_compiler_ctx;

// Installs the operations for the context's later compiles; nullptr restores the C heap.
void plx_compiler_set_mem_ops(plx_compiler_ctx *ctx, plx_mem_alloc_fn alloc, plx_mem_free_fn free);
// Installs the source of the filter number read right after each allocation (optional; without
// it the compile context's filter id stays 0xFFFFFFFF).
void plx_compiler_set_filter_id_fn(plx_compiler_ctx *ctx, plx_mem_filter_id_fn fn);

// Hands a program compiled by ctx to ctx's free operation (nullptr: nothing to do).
void plx_compiler_free_program(const plx_compiler_ctx *ctx, void *program);
