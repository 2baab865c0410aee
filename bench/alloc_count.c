/* Counts the blocks the interpreter's allocators hand out (the "mem" and
   "object" domains): wrappers around the allocators in place, which count
   each malloc, calloc and realloc of a NULL pointer and pass every call on.
   Built and loaded by bench/micro.py through ctypes. */
#include <Python.h>

static PyMemAllocatorEx previous[2];
static PyMemAllocatorEx wrapped[2];
static unsigned long long allocations;
static int installed;

static void* count_malloc(void* ctx, size_t size) {
  PyMemAllocatorEx* a = ctx;
  allocations++;
  return a->malloc(a->ctx, size);
}

static void* count_calloc(void* ctx, size_t n, size_t size) {
  PyMemAllocatorEx* a = ctx;
  allocations++;
  return a->calloc(a->ctx, n, size);
}

static void* count_realloc(void* ctx, void* ptr, size_t size) {
  PyMemAllocatorEx* a = ctx;
  if (!ptr) allocations++;
  return a->realloc(a->ctx, ptr, size);
}

static void count_free(void* ctx, void* ptr) {
  PyMemAllocatorEx* a = ctx;
  a->free(a->ctx, ptr);
}

int alloc_count_install(void) {
  static const PyMemAllocatorDomain domains[2] = {PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
  if (installed) return 0;
  for (int i = 0; i < 2; ++i) {
    PyMem_GetAllocator(domains[i], &previous[i]);
    wrapped[i].ctx = &previous[i];
    wrapped[i].malloc = count_malloc;
    wrapped[i].calloc = count_calloc;
    wrapped[i].realloc = count_realloc;
    wrapped[i].free = count_free;
    PyMem_SetAllocator(domains[i], &wrapped[i]);
  }
  installed = 1;
  return 0;
}

unsigned long long alloc_count_read(void) { return allocations; }
