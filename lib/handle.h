// Handle tables: small non-negative integers standing for pointers.
//
// A table has a fixed number of entries. Handles are issued in rotation over
// the entries, and an entry's handle number grows by the table size each
// time the entry is freed, so a handle that has been removed is recognised
// as stale for a long time instead of finding the entry's next occupant.
// The entry of handle h is h modulo the size; -1 means "no handle".
//
// The table owns nothing stored in it; handle_destroy() with a function is
// how owners release their records.
#ifndef QUORVANE_HANDLE_H
#define QUORVANE_HANDLE_H

// Applied by handle_destroy() to every stored pointer (free(3) fits).
typedef void (*handle_free_func)(void *data);

typedef struct handle_entry {
    int used;   // 1 while the entry holds a pointer
    int handle; // handle number; always congruent to the entry's index modulo size
    void *data; // the stored pointer; null when free
} handle_entry;

typedef struct handle_table {
    int next;            // entry at which the next search for a free entry starts
    int size;            // number of entries, fixed at creation
    handle_entry *table; // the size entries
} handle_table;

// A table of size free entries (entry i with handle i), or null if memory
// runs out or size is not positive.
handle_table *handle_create(int size);

// Stores a pointer: its handle, or -1 with a warning when the table is full.
int handle_add(handle_table *t, void *data);

// Frees the entry of a handle: 0, or -1 for a negative handle or a free
// entry. A stale handle whose entry has been reused is a failed assertion.
int handle_remove(handle_table *t, int handle);

// The pointer stored under exactly this handle, or null.
void *handle_find(const handle_table *t, int handle);

// Applies function (if given) to every stored pointer in entry order, then
// frees the table.
void handle_destroy(handle_table *t, handle_free_func function);

#endif
