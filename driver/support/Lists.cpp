// The intrusive list operations. Both ends are kept exact so that removal from either end and
// from the middle needs no walk.
#include "Lists.h"

VOID ListInit(List* list) {
    list->first = nullptr;
    list->last = nullptr;
    list->count = 0;
}

ListNode* ListNodeInit(ListNode* node) {
    node->prev = nullptr;
    node->next = nullptr;
    return node;
}

ListNode* ListAppend(List* list, ListNode* node) {
    if (list->last != nullptr) {
        node->next = list->last->next;
        node->prev = list->last;
        list->last->next = node;
        if (node->next != nullptr) {
            node->next->prev = node;
        }
    } else {
        node->next = list->first;
        node->prev = nullptr;
        if (list->first != nullptr) {
            list->first->prev = node;
        }
        list->first = node;
    }
    list->last = node;
    list->count++;
    return node;
}

ListNode* ListRemove(List* list, ListNode* node) {
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    }
    if (list->first == node) {
        list->first = node->next;
    }
    if (list->last == node) {
        list->last = node->prev;
    }
    node->prev = nullptr;
    node->next = nullptr;
    list->count--;
    return node;
}

ListNode* ListRemoveFirst(List* list) {
    if (list->first == nullptr) {
        return nullptr;
    }
    return ListRemove(list, list->first);
}
