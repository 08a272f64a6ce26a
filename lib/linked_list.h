// Doubly linked list of opaque items with a cursor, a cursor stack and an
// optional sorted index.
//
// The list owns its nodes and its sorted index, never its items; items are
// told apart by pointer identity. The cursor (`current`) is how callers walk
// a list; a walk made from inside a callback saves the caller's cursor with
// llCursorPush() and restores it with llCursorPop(), so the outer walk goes
// on where it was.
//
// llSort() builds an array of the nodes in order, which llFind() then
// searches by bisection. Any insertion drops the array (the list is then
// unsorted and llFind() walks it); removals leave it, with a null hole in
// the removed node's place.
//
// Misuse (a null list or function, cursor stack overflow or underflow,
// llNext()/llPrevious() without a cursor) and running out of memory are
// failed assertions that end the process. Not thread-safe: llSort() keeps
// its comparison function in a module-wide variable.
#ifndef QUORVANE_LINKED_LIST_H
#define QUORVANE_LINKED_LIST_H

#include <stddef.h>

#define CURSOR_STACK_SIZE 100 // saved cursors a list can hold at once

// Ordering of llSort() and matching of llFind(): negative, 0 or positive as
// for qsort(3). llSort() passes two items; llFind() passes an item and the
// key it was given.
typedef int (*ll_cmp_func)(const void *a, const void *b);

// Called by llApply() once per item; it must not remove the item it gets.
typedef void (*ll_apply_func)(void *item);

// Allocator of the nodes; calloc(3) semantics.
typedef void *(*ll_alloc_func)(size_t count, size_t size);

typedef struct ll_node {
    void *item;           // the stored item, never owned
    int index;            // position in sorted_list; -1 for a node added since the last sort
    struct ll_node *prev; // neighbour towards the head, null for the head
    struct ll_node *next; // neighbour towards the tail, null for the tail
} ll_node;

typedef struct linked_list {
    ll_node *head;        // first node, null when empty
    ll_node *tail;        // last node, null when empty
    ll_node *current;     // the cursor, null when unset
    int count;            // number of items
    int sorted_count;     // entries of sorted_list while sorted (holes included); 0 when unsorted
    ll_node **sorted_list; // nodes in sorted order then a null entry; removed nodes leave null holes
    ll_node *cursor_stack[CURSOR_STACK_SIZE]; // saved cursors, oldest first
    int stack_ptr;        // number of saved cursors
} linked_list;

// Every node is allocated through this pointer, calloc unless a test
// replaces it to exercise running out of memory. Production code never
// touches it.
extern ll_alloc_func llAlloc;

// An empty, unsorted list with no cursor.
linked_list *llCreate(void);

// Frees the nodes, the sorted index and the list; the items are untouched.
// A null list is ignored.
void llDestroy(linked_list *l);

// Insert at the head / tail. The cursor does not move; the list becomes
// unsorted.
void llPrepend(linked_list *l, void *item);
void llAppend(linked_list *l, void *item);

// Move the cursor to the head / tail; the item there, or null when empty.
void *llFirst(linked_list *l);
void *llLast(linked_list *l);

// Move the cursor one node on / back and return the item there. At the end
// (start) of the list the result is null and the cursor stays put.
void *llNext(linked_list *l);
void *llPrevious(linked_list *l);

// The item under the cursor, or null when the cursor is unset.
void *llCurrent(const linked_list *l);

// Removes the node holding the item (the cursor's node first, else the first
// such node from the head); an item not in the list is ignored and leaves
// the cursor alone. Whichever node was removed, the cursor then stands on
// the node that followed it, or on the one before it when it was the last
// (null once the list is empty). A walk that must not lose its place while
// other items are removed saves its cursor with llCursorPush() first.
void llRemove(linked_list *l, void *item);

// Calls f with every item from head to tail.
void llApply(linked_list *l, ll_apply_func f);

// Sorts the list (not stably) and builds its sorted index. A list whose
// count equals its sorted count is taken as sorted and left alone. The
// cursor keeps its node.
void llSort(linked_list *l, ll_cmp_func cmp_func);

// An item for which cmp_func(item, key) is 0, or null. A found item becomes
// the cursor; otherwise the cursor is unchanged. Bisection while sorted, a
// walk from the head otherwise.
void *llFind(linked_list *l, ll_cmp_func cmp_func, const void *key);

// Save / restore the cursor.
void llCursorPush(linked_list *l);
void llCursorPop(linked_list *l);

// Number of items; constant time.
int llItemCount(const linked_list *l);

#endif
