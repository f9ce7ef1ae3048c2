/*
 * fr_tree_destroy: releases a tree of nodes whose children hang off a
 * malloc'ed circular list head. No frame exception crosses this file.
 */
#include <stddef.h>
#include <stdlib.h>
#include <kivo/fifobuf.h>

extern "C" KIVO_API int fr_tree_destroy(fr_tree_node_t *node, void (*release)(fr_tree_node_t *node)) {
    if (!node) return 1;
    if (fr_tree_link_t *head = node->children) {
        for (fr_tree_link_t *l = head->next, *next; l && l != head; l = next) {
            next = l->next;
            fr_tree_node_t *child =
                reinterpret_cast<fr_tree_node_t *>(reinterpret_cast<char *>(l) - offsetof(fr_tree_node_t, sibling));
            fr_tree_destroy(child, release);
        }
        free(head);
        node->children = nullptr;
    }
    if (node->linked) {
        node->sibling.prev->next = node->sibling.next;
        node->sibling.next->prev = node->sibling.prev;
        node->sibling.next = node->sibling.prev = nullptr;
        node->linked = 0;
    }
    if (release) release(node);
    return 0;
}
