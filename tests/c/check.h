/* Failure counting for the C tests: a failed CHECK prints where and carries on, and main
 * returns the count so every broken call shows up in one run. */
#ifndef VEXA_TESTS_C_CHECK_H
#define VEXA_TESTS_C_CHECK_H

#include <stdio.h>

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static inline int is_empty_text(const char* p) { return p != NULL && p[0] == '\0'; }

#endif
