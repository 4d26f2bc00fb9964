// Preloaded into ptsplit by test_ptsplit.py: no thread can be made
// (EAGAIN), as under a limit on processes.
#include <pthread.h>

#include <cerrno>

extern "C" int pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
  return EAGAIN;
}
