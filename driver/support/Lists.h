// Intrusive doubly linked lists. A ListNode is the first member of every element that can be
// listed, so a node pointer is the element pointer. Lists do no locking: the owner's lock
// covers them.
#pragma once
#include "platform/KernelHeaders.h"

struct ListNode {
    ListNode* prev; // null at the first node
    ListNode* next; // null at the last node
};

struct List {
    ListNode* first; // null when empty
    ListNode* last;  // null when empty
    ULONG count;
};

VOID ListInit(List* list);
ListNode* ListNodeInit(ListNode* node);
ListNode* ListAppend(List* list, ListNode* node);
ListNode* ListRemove(List* list, ListNode* node);
ListNode* ListRemoveFirst(List* list);
