// Handle tables; see handle.h for the contract.
#include "handle.h"

#include <climits>
#include <cstdlib>

#include "report.h"

// The entry after idx, wrapping from the last entry to the first.
static int entry_after(const handle_table *t, int idx)
{
    return idx + 1 < t->size ? idx + 1 : 0;
}

handle_table *handle_create(int size)
{
    // A table without entries could never issue a handle, and the modulo
    // that finds an entry would divide by zero.
    if (size <= 0)
        return NULL;
    handle_table *t = static_cast<handle_table *>(calloc(1, sizeof *t));
    if (t == NULL)
        return NULL;
    t->table = static_cast<handle_entry *>(calloc(static_cast<size_t>(size), sizeof *t->table));
    if (t->table == NULL) {
        free(t);
        return NULL;
    }
    t->size = size;
    t->next = 0;
    for (int i = 0; i < size; i++)
        t->table[i].handle = i;
    return t;
}

int handle_add(handle_table *t, void *data)
{
    REPORT_ASSERT(t != NULL);
    const int start = t->next;
    int idx = start;
    while (t->table[idx].used) {
        idx = entry_after(t, idx);
        if (idx == start) {
            REPORT_WARNING("        There are no free handles");
            // Moving on keeps the next search from always starting at the
            // same busy entry.
            t->next = entry_after(t, start);
            return -1;
        }
    }
    t->next = entry_after(t, idx);
    t->table[idx].used = 1;
    t->table[idx].data = data;
    return t->table[idx].handle;
}

int handle_remove(handle_table *t, int handle)
{
    REPORT_ASSERT(t != NULL);
    if (handle < 0)
        return -1;
    const int idx = handle % t->size;
    if (!t->table[idx].used)
        return -1;
    REPORT_ASSERT(t->table[idx].handle == handle);
    t->table[idx].used = 0;
    t->table[idx].data = NULL;
    // Raising the number makes the old handle stale. Past the largest int
    // the number starts again at the index, which keeps it congruent to
    // the index and never negative (and avoids signed overflow).
    if (t->table[idx].handle > INT_MAX - t->size)
        t->table[idx].handle = idx;
    else
        t->table[idx].handle += t->size;
    return 0;
}

void *handle_find(const handle_table *t, int handle)
{
    REPORT_ASSERT(t != NULL);
    if (handle < 0)
        return NULL;
    const handle_entry *e = &t->table[handle % t->size];
    if (e->used && e->handle == handle)
        return e->data;
    return NULL;
}

void handle_destroy(handle_table *t, handle_free_func function)
{
    REPORT_ASSERT(t != NULL);
    if (function != NULL) {
        for (int i = 0; i < t->size; i++) {
            if (t->table[i].used)
                function(t->table[i].data);
        }
    }
    free(t->table);
    free(t);
}
