// Priority queue of opaque items: an unbalanced binary search tree with a
// cached pointer to the item of highest priority.
//
// Every real node has two children, each a real node or an empty leaf (a
// node with a null item); the left subtree ranks lower or equal, the right
// subtree at least as high. The top is the rightmost real node, so peeking
// is constant time and removing costs the depth of the tree. Items of equal
// priority leave in insertion order. The queue owns its nodes, never its
// items.
//
// Failed assertions of this module abort at once, without a stack trace:
// the timers held here may be what the trace machinery itself would need.
#ifndef QUORVANE_PRIORITYQ_H
#define QUORVANE_PRIORITYQ_H

#include <cstddef>

// Ordering: positive when a has the higher priority, negative when lower,
// 0 when equal.
typedef int (*pq_eq_func)(const void *a, const void *b);

// Called by priorityq_destroy() with the item of every node, null for empty
// leaves (so free(3) fits).
typedef void (*pq_item_func)(void *item);

// Prints one item for priorityq_print(), without a newline.
typedef void (*pq_print_func)(const void *item);

// Allocator of the queue and its nodes; calloc(3) semantics.
typedef void *(*pq_alloc_func)(size_t count, size_t size);

typedef struct pq_node {
    void *item;             // the stored item; null marks an empty leaf
    struct pq_node *parent; // null for the root
    struct pq_node *left;   // lower-or-equal subtree; null only in empty leaves
    struct pq_node *right;  // higher-or-equal subtree; null only in empty leaves
} pq_node;

typedef struct priorityq {
    pq_node *root;     // root of the tree; an empty leaf when the queue is empty
    pq_eq_func eqfunc; // the ordering
    pq_node *top;      // node of highest priority; null when empty
} priorityq;

// Every allocation of the module goes through this pointer, calloc unless a
// test replaces it to exercise running out of memory. Production code never
// touches it.
extern pq_alloc_func priorityq_alloc;

// An empty queue, or null if memory runs out.
priorityq *priorityq_create(pq_eq_func eqfunc);

// Adds a non-null item: 0, or -1 if memory runs out, in which case the
// queue is exactly as it was.
int priorityq_insert(priorityq *pq, void *item);

// The item of highest priority, or null when empty.
void *priorityq_peek(const priorityq *pq);

// Removes and returns the item of highest priority, or null when empty.
void *priorityq_remove(priorityq *pq);

// Frees every node in post-order, calling function (if given) on each
// node's item just before the node goes, then the queue.
void priorityq_destroy(priorityq *pq, pq_item_func function);

// Debugging dump to standard output: the tree on its side, highest priority
// at the top, then the top item.
void priorityq_print(const priorityq *pq, pq_print_func function);

#endif
