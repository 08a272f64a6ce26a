// Doubly linked list with cursor, cursor stack and sorted index; see
// linked_list.h for the contract.
#include "linked_list.h"

#include <cstdlib>

#include "report.h"

// An assertion whose source text cannot be written as C++ (the list being
// created is called "new" in the report, a keyword here).
#define LL_ASSERT_TEXT(cond, text)                                            \
    do {                                                                      \
        if (!(cond)) {                                                        \
            report_head(LOG_CRIT, "\n*** ASSERTION FAILED (%s, %d, %s):\n", REPORT_FILE, __LINE__, __func__); \
            report_piece(LOG_CRIT, "        %s\n", (text));                  \
            report_die(1);                                                    \
        }                                                                     \
    } while (0)

// The ordering of the llSort() in progress; qsort(3) gives its comparison
// no user data, hence module-wide.
static ll_cmp_func sort_cmp = NULL;

linked_list *llCreate(void)
{
    linked_list *l = static_cast<linked_list *>(calloc(1, sizeof *l));
    LL_ASSERT_TEXT(l != NULL, "new != NULL");
    return l;
}

void llDestroy(linked_list *l)
{
    if (l == NULL)
        return;
    ll_node *node = l->head;
    while (node != NULL) {
        ll_node *next = node->next;
        free(node);
        node = next;
    }
    free(l->sorted_list);
    free(l);
}

// Any insertion invalidates the sorted index: the new node has no place in it.
static void drop_sorted_index(linked_list *l)
{
    if (l->sorted_list != NULL) {
        free(l->sorted_list);
        l->sorted_list = NULL;
    }
    l->sorted_count = 0;
}

ll_alloc_func llAlloc = calloc;

// A fresh node for item, not yet linked. func is the inserting operation,
// which the report of a failed allocation names.
static ll_node *new_node(void *item, const char *func)
{
    ll_node *node = static_cast<ll_node *>(llAlloc(1, sizeof *node));
    REPORT_ASSERT_IN(func, node != NULL);
    node->item = item;
    node->index = -1;
    return node;
}

void llPrepend(linked_list *l, void *item)
{
    REPORT_ASSERT(l != NULL);
    ll_node *node = new_node(item, __func__);
    node->next = l->head;
    if (l->head != NULL)
        l->head->prev = node;
    else
        l->tail = node;
    l->head = node;
    l->count++;
    drop_sorted_index(l);
}

void llAppend(linked_list *l, void *item)
{
    REPORT_ASSERT(l != NULL);
    ll_node *node = new_node(item, __func__);
    node->prev = l->tail;
    if (l->tail != NULL)
        l->tail->next = node;
    else
        l->head = node;
    l->tail = node;
    l->count++;
    drop_sorted_index(l);
}

void *llFirst(linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    l->current = l->head;
    return l->current != NULL ? l->current->item : NULL;
}

void *llLast(linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    l->current = l->tail;
    return l->current != NULL ? l->current->item : NULL;
}

void *llNext(linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    REPORT_ASSERT(l->current != NULL);
    if (l->current->next == NULL)
        return NULL;
    l->current = l->current->next;
    return l->current->item;
}

void *llPrevious(linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    REPORT_ASSERT(l->current != NULL);
    if (l->current->prev == NULL)
        return NULL;
    l->current = l->current->prev;
    return l->current->item;
}

void *llCurrent(const linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    return l->current != NULL ? l->current->item : NULL;
}

void llRemove(linked_list *l, void *item)
{
    REPORT_ASSERT(l != NULL);
    ll_node *node = l->current;
    if (node == NULL || node->item != item) {
        for (node = l->head; node != NULL; node = node->next) {
            if (node->item == item)
                break;
        }
        if (node == NULL)
            return;
    }

    // The cursor goes on to the node that followed the removed one (back to
    // the one before it when there is none), wherever it was: a walk that
    // removes its current item continues with llCurrent(), and one that
    // removes other items saves its cursor on the stack around them.
    ll_node *successor = node->next != NULL ? node->next : node->prev;

    if (node->prev != NULL)
        node->prev->next = node->next;
    else
        l->head = node->next;
    if (node->next != NULL)
        node->next->prev = node->prev;
    else
        l->tail = node->prev;

    l->current = successor;
    // Saved cursors on the removed node follow the same rule, so a pop
    // never restores a freed node even if a caller removed it while its
    // cursor was saved.
    for (int i = 0; i < l->stack_ptr; i++) {
        if (l->cursor_stack[i] == node)
            l->cursor_stack[i] = successor;
    }

    if (l->sorted_list != NULL && node->index >= 0 && node->index < l->sorted_count)
        l->sorted_list[node->index] = NULL;

    free(node);
    l->count--;
}

void llApply(linked_list *l, ll_apply_func f)
{
    REPORT_ASSERT(l != NULL);
    REPORT_ASSERT(f != NULL);
    for (ll_node *node = l->head; node != NULL; node = node->next)
        f(node->item);
}

// qsort(3) comparison of two node references by their items.
static int compare_nodes(const void *a, const void *b)
{
    const ll_node *na = *static_cast<ll_node *const *>(a);
    const ll_node *nb = *static_cast<ll_node *const *>(b);
    return sort_cmp(na->item, nb->item);
}

void llSort(linked_list *l, ll_cmp_func cmp_func)
{
    REPORT_ASSERT(l != NULL);
    REPORT_ASSERT(cmp_func != NULL);
    if (l->count == l->sorted_count)
        return;

    free(l->sorted_list);
    // Every item removed since the last sort: an empty list is sorted, and
    // there is no first or last node to take from the array.
    if (l->count == 0) {
        l->sorted_list = NULL;
        l->sorted_count = 0;
        return;
    }
    l->sorted_list = static_cast<ll_node **>(calloc(static_cast<size_t>(l->count) + 1, sizeof *l->sorted_list));
    REPORT_ASSERT(l->sorted_list != NULL);
    int n = 0;
    for (ll_node *node = l->head; node != NULL; node = node->next)
        l->sorted_list[n++] = node;
    l->sorted_list[n] = NULL;

    sort_cmp = cmp_func;
    qsort(l->sorted_list, static_cast<size_t>(n), sizeof *l->sorted_list, compare_nodes);
    sort_cmp = NULL;

    for (int i = 0; i < n; i++) {
        ll_node *node = l->sorted_list[i];
        node->index = i;
        node->prev = i > 0 ? l->sorted_list[i - 1] : NULL;
        node->next = i + 1 < n ? l->sorted_list[i + 1] : NULL;
    }
    l->head = l->sorted_list[0];
    l->tail = l->sorted_list[n - 1];
    l->sorted_count = n;
}

// Index of an entry of sorted_list within [lo, hi] that is not a hole,
// nearest to mid: looked for first in the direction given (-1 down, +1 up),
// then in the other. -1 when the whole range is holes. Searching both ways
// keeps a hole at the edge of the range from hiding an item beyond it.
static int sorted_probe(const linked_list *l, int lo, int mid, int hi, int direction)
{
    if (l->sorted_list[mid] != NULL)
        return mid;
    for (int pass = 0; pass < 2; pass++, direction = -direction) {
        if (direction < 0) {
            for (int i = mid - 1; i >= lo; i--)
                if (l->sorted_list[i] != NULL)
                    return i;
        } else {
            for (int i = mid + 1; i <= hi; i++)
                if (l->sorted_list[i] != NULL)
                    return i;
        }
    }
    return -1;
}

// Bisection over the sorted index, skipping holes.
static ll_node *sorted_search(const linked_list *l, ll_cmp_func cmp_func, const void *key)
{
    int lo = 0;
    int hi = l->sorted_count - 1;
    int direction = -1;
    while (lo <= hi) {
        const int mid = sorted_probe(l, lo, lo + (hi - lo) / 2, hi, direction);
        if (mid < 0)
            return NULL;
        ll_node *node = l->sorted_list[mid];
        const int r = cmp_func(node->item, key);
        if (r == 0)
            return node;
        if (r > 0) {
            hi = mid - 1;
            direction = -1;
        } else {
            lo = mid + 1;
            direction = 1;
        }
    }
    return NULL;
}

void *llFind(linked_list *l, ll_cmp_func cmp_func, const void *key)
{
    REPORT_ASSERT(l != NULL);
    REPORT_ASSERT(cmp_func != NULL);
    if (l->count == 0)
        return NULL;

    ll_node *found = NULL;
    if (l->sorted_list != NULL) {
        found = sorted_search(l, cmp_func, key);
    } else {
        for (ll_node *node = l->head; node != NULL; node = node->next) {
            if (cmp_func(node->item, key) == 0) {
                found = node;
                break;
            }
        }
    }
    if (found == NULL)
        return NULL;
    l->current = found;
    return found->item;
}

void llCursorPush(linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    REPORT_ASSERT(l->stack_ptr < CURSOR_STACK_SIZE);
    l->cursor_stack[l->stack_ptr++] = l->current;
}

void llCursorPop(linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    REPORT_ASSERT(l->stack_ptr > 0);
    l->current = l->cursor_stack[--l->stack_ptr];
}

int llItemCount(const linked_list *l)
{
    REPORT_ASSERT(l != NULL);
    return l->count;
}
