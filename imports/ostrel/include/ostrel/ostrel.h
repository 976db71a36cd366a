/* Ostrel: ordered lists of fixed-size elements and the diagnostics sink.
   A service of its own beside Velmora; the library calls it but does not own it. */
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#if defined(OSTREL_BUILDING)
#define OSTREL_API __attribute__((visibility("default")))
#else
#define OSTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Lists ----------------------------------------------------------------------------------
   A LIST holds elements of a fixed size (the library always uses 8: a pointer to a record that the
   caller owns). Indices are 0-based.

   Order predicates: pred(a, b) receives the addresses of two stored elements and returns nonzero
   when a is ordered after b. Callers pass both strict predicates (a > b) and non-strict ones
   (a >= b). The lists only ever use the strict part of a predicate:
       a sorts before b  exactly when  pred(b, a) && !pred(a, b)
   so both kinds give the same order. Sorting is stable: elements that compare equal keep their
   insertion order, and a key sorts after the elements equal to it. */

typedef struct ostrel_list *LIST;
typedef int (*list_order_fn)(const void *a, const void *b);

/* Creates an empty list of elements of elem_size bytes. size_hint is the expected number of
   elements (a capacity hint, may be 0). pred orders the list, or null for insertion order.
   Returns null when elem_size < 1 or allocation fails. */
OSTREL_API LIST list_new(int size_hint, int elem_size, list_order_fn pred);

/* Copies elem_size bytes from elem into the list: at the end without a predicate, otherwise at
   its ordered place (after its equals). Ordered insertion costs O(log n) amortised: the list is
   sorted lazily before the next read. Returns 0, or -1 on a null list or failed allocation. */
OSTREL_API int list_insert(LIST list, const void *elem);

/* Number of elements; a null list counts as empty. */
OSTREL_API int list_num(LIST list);

/* Address of element index (0 .. list_num-1), valid until the next insertion; null when the index
   is out of range. */
OSTREL_API void *list_get_element(LIST list, int index);

/* Position 0 .. n at which key (the address of an element-sized key) sorts into the list under
   the list's predicate: after every element that sorts before or equal to it. A list without a
   predicate returns n. */
OSTREL_API int list_pos(LIST list, const void *key);

/* The same as list_pos restricted to positions first .. last (inclusive) and ordered by pred:
   returns first .. last+1. The range must be ordered by pred. */
OSTREL_API int list_pos_range(LIST list, const void *key, int first, int last, list_order_fn pred);

/* Releases the list and its element storage (not the records the elements point to). Accepts
   null. */
OSTREL_API void list_kill(LIST list);

/* ---- Diagnostics ----------------------------------------------------------------------------
   error_mess_fl reports a failure: text, the reporting source file and line. By default it writes
   one line "file:line: text" to stderr. ostrel_warn passes a progress line; by default it is
   dropped. An application installs its own handler for either (with a user pointer handed back
   on every call); a null handler restores the default. Handlers may be called from any thread
   that calls into the library. */

typedef void (*ostrel_error_handler)(void *user, const char *text, const char *file, int line);
typedef void (*ostrel_warn_handler)(void *user, int level, const char *text);

OSTREL_API void error_mess_fl(const char *text, const char *file, int line);
OSTREL_API void ostrel_warn(int level, const char *text);
OSTREL_API void ostrel_set_error_handler(ostrel_error_handler handler, void *user);
OSTREL_API void ostrel_set_warn_handler(ostrel_warn_handler handler, void *user);

#ifdef __cplusplus
}
#endif

#endif
