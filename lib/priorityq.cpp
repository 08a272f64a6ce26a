// Priority queue as an unbalanced binary search tree; see priorityq.h for
// the contract.
#include "priorityq.h"

#include <cstdio>
#include <cstdlib>

#include "report.h"

pq_alloc_func priorityq_alloc = calloc;

// An empty leaf under parent, or null if memory runs out.
static pq_node *create_node(pq_node *parent)
{
    pq_node *node = static_cast<pq_node *>(priorityq_alloc(1, sizeof *node));
    if (node != NULL)
        node->parent = parent;
    return node;
}

priorityq *priorityq_create(pq_eq_func eqfunc)
{
    REPORT_ASSERT_NOTRACE(eqfunc != NULL);
    priorityq *pq = static_cast<priorityq *>(priorityq_alloc(1, sizeof *pq));
    if (pq == NULL)
        return NULL;
    pq->root = create_node(NULL);
    if (pq->root == NULL) {
        free(pq);
        return NULL;
    }
    pq->eqfunc = eqfunc;
    pq->top = NULL;
    return pq;
}

// Puts node into the subtree at root and returns what now stands in the
// subtree's place. leaf is the one empty leaf that every insertion needs;
// it is allocated by the caller beforehand so that running out of memory
// can never leave the tree half-linked.
//
// The descent is a loop rather than recursion: timers added in time order
// make a left chain as long as the queue.
static pq_node *insert_item(priorityq *pq, pq_node *root, pq_node *node, pq_node *leaf)
{
    pq_node *subtree = root;
    pq_node **link = &subtree; // the link that points at root
    REPORT_ASSERT_NOTRACE(root != NULL);
    int r = 0;
    while (root->item != NULL) {
        r = pq->eqfunc(node->item, root->item);
        if (r == 0)
            break;
        link = r > 0 ? &root->right : &root->left;
        root = *link;
        REPORT_ASSERT_NOTRACE(root != NULL);
    }

    node->parent = root->parent;
    if (root->item == NULL) {
        // The new node takes the empty leaf's place and keeps the leaf as
        // its (lower) left child.
        node->left = root;
        root->parent = node;
        node->right = leaf;
        leaf->parent = node;
        if (pq->top == NULL || pq->eqfunc(node->item, pq->top->item) > 0)
            pq->top = node;
    } else {
        // An equal item goes in above the old one, on its left side, so the
        // old item keeps ranking higher and leaves first. The top is left
        // alone for the same reason.
        node->right = root;
        node->left = root->left;
        node->left->parent = node;
        root->parent = node;
        root->left = leaf;
        leaf->parent = root;
    }
    *link = node;
    return subtree;
}

int priorityq_insert(priorityq *pq, void *item)
{
    REPORT_ASSERT_NOTRACE(pq != NULL);
    REPORT_ASSERT_NOTRACE(item != NULL);
    pq_node *node = create_node(NULL);
    if (node == NULL)
        return -1;
    pq_node *leaf = create_node(NULL);
    if (leaf == NULL) {
        free(node);
        return -1;
    }
    node->item = item;
    pq->root = insert_item(pq, pq->root, node, leaf);
    return 0;
}

void *priorityq_peek(const priorityq *pq)
{
    REPORT_ASSERT_NOTRACE(pq != NULL);
    return pq->top != NULL ? pq->top->item : NULL;
}

void *priorityq_remove(priorityq *pq)
{
    REPORT_ASSERT_NOTRACE(pq != NULL);
    if (pq->top == NULL)
        return NULL;
    pq_node *node = pq->top;
    REPORT_ASSERT_NOTRACE(node->left != NULL);
    REPORT_ASSERT_NOTRACE((node->right != NULL) && (node->right->item == NULL));
    free(node->right);

    pq_node *child = node->left;
    pq_node *parent = node->parent;
    child->parent = parent;
    if (parent == NULL)
        pq->root = child;
    else if (parent->left == node)
        parent->left = child;
    else if (parent->right == node)
        parent->right = child;
    else
        REPORT_FATAL_NOTRACE("        The parent don't want to know about his child. Shoot the programmer.");

    // The top was the rightmost real node; with it gone, the rightmost is
    // inside the subtree that took its place, or else its parent.
    if (child->item != NULL) {
        while (child->right->item != NULL)
            child = child->right;
        pq->top = child;
    } else {
        pq->top = parent;
    }

    void *item = node->item;
    free(node);
    return item;
}

// Frees the tree in post-order (left, right, node), calling function on each
// node's item first. Walks by parent links instead of recursing, for the
// same long chains as insert_item.
static void destroy_tree(pq_node *node, pq_item_func function)
{
    while (node != NULL) {
        if (node->left != NULL) {
            node = node->left;
        } else if (node->right != NULL) {
            node = node->right;
        } else {
            pq_node *parent = node->parent;
            if (function != NULL)
                function(node->item);
            if (parent != NULL) {
                if (parent->left == node)
                    parent->left = NULL;
                else
                    parent->right = NULL;
            }
            free(node);
            node = parent;
        }
    }
}

void priorityq_destroy(priorityq *pq, pq_item_func function)
{
    REPORT_ASSERT_NOTRACE(pq != NULL);
    destroy_tree(pq->root, function);
    free(pq);
}

// One item through the caller's printer; without one, the pointer value.
static void print_item(pq_print_func function, const void *item)
{
    if (function != NULL)
        function(item);
    else
        printf("%p", item);
}

// The subtree on its side: higher priority above, two more spaces per level.
static void print_tree(const pq_node *node, int indent, pq_print_func function)
{
    REPORT_ASSERT_NOTRACE(node != NULL);
    if (node->item == NULL)
        return;
    print_tree(node->right, indent + 2, function);
    printf("%*s", indent, "");
    print_item(function, node->item);
    printf("\n");
    print_tree(node->left, indent + 2, function);
}

void priorityq_print(const priorityq *pq, pq_print_func function)
{
    REPORT_ASSERT_NOTRACE(pq != NULL);
    printf("\n--------- Priority tree -----------\n");
    print_tree(pq->root, 0, function);
    printf("\nHighest priority node = ");
    if (pq->top != NULL) {
        print_item(function, pq->top->item);
        printf("\n");
    } else {
        printf(" * None *\n");
    }
    printf("-----------------------------------\n\n");
    fflush(stdout);
}
