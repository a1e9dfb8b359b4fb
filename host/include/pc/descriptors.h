// The port-class library's filter descriptions: automation items and tables, pins, nodes,
// connections and the filter descriptor a miniport hands out, with the request records its
// automation handlers receive.
#pragma once

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE
#define PCPROPERTY_ITEM_FLAG_SERIALIZE                                                             \
    (PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW |                     \
     PCPROPERTY_ITEM_FLAG_SERIALIZESIZE)
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES

#define PCMETHOD_ITEM_FLAG_NONE 0x00000000
#define PCMETHOD_ITEM_FLAG_READ 0x00000001
#define PCMETHOD_ITEM_FLAG_WRITE 0x00000002
#define PCMETHOD_ITEM_FLAG_MODIFY 0x00000003
#define PCMETHOD_ITEM_FLAG_SOURCE 0x00000004
#define PCMETHOD_ITEM_FLAG_SINK 0x00000008
#define PCMETHOD_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

#define PCFILTER_NODE KSFILTER_NODE

// An enabled event as the kernel-streaming library keeps it; miniports only pass it on.
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef struct _PCMETHOD_REQUEST PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;
typedef struct _PCEVENT_REQUEST PCEVENT_REQUEST, *PPCEVENT_REQUEST;

typedef NTSTATUS(NTAPI* PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);
typedef NTSTATUS(NTAPI* PCPFNMETHOD_HANDLER)(PPCMETHOD_REQUEST MethodRequest);
typedef NTSTATUS(NTAPI* PCPFNEVENT_HANDLER)(PPCEVENT_REQUEST EventRequest);

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget; // the miniport
    PUNKNOWN MinorTarget; // the stream, for pin requests on a pin instance
    ULONG Node;           // ULONG(-1) when the request is not for a node
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb; // KSPROPERTY_TYPE_* flags of the request
    ULONG InstanceSize;
    PVOID Instance; // what follows the KSPROPERTY in the caller's request
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};

struct _PCMETHOD_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM* MethodItem;
    ULONG Verb;
};

struct _PCEVENT_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb; // PCEVENT_VERB_*
    PIRP Irp;
};

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                             \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                          \
                                                RTL_NUMBER_OF(PropertyTable),                      \
                                                (const PCPROPERTY_ITEM*)PropertyTable,             \
                                                sizeof(PCMETHOD_ITEM),                             \
                                                0,                                                 \
                                                NULL,                                              \
                                                sizeof(PCEVENT_ITEM),                              \
                                                0,                                                 \
                                                NULL,                                              \
                                                0}

#define DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(AutomationTable, PropertyTable, EventTable)           \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                          \
                                                RTL_NUMBER_OF(PropertyTable),                      \
                                                (const PCPROPERTY_ITEM*)PropertyTable,             \
                                                sizeof(PCMETHOD_ITEM),                             \
                                                0,                                                 \
                                                NULL,                                              \
                                                sizeof(EventTable[0]),                             \
                                                RTL_NUMBER_OF(EventTable),                         \
                                                (const PCEVENT_ITEM*)EventTable,                   \
                                                0}

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef KSTOPOLOGY_CONNECTION PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;

typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

static_assert(sizeof(PCPROPERTY_REQUEST) == 72 && alignof(PCPROPERTY_REQUEST) == 8,
              "PCPROPERTY_REQUEST layout");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, MinorTarget) == 8, "MinorTarget");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, Node) == 16, "Node");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, PropertyItem) == 24, "PropertyItem");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, Verb) == 32, "Verb");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, InstanceSize) == 36, "InstanceSize");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, Instance) == 40, "Instance");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, ValueSize) == 48, "ValueSize");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, Value) == 56, "Value");
static_assert(__builtin_offsetof(PCPROPERTY_REQUEST, Irp) == 64, "Irp");
static_assert(sizeof(PCEVENT_REQUEST) == 56 && alignof(PCEVENT_REQUEST) == 8,
              "PCEVENT_REQUEST layout");
static_assert(__builtin_offsetof(PCEVENT_REQUEST, Node) == 16, "Node");
static_assert(__builtin_offsetof(PCEVENT_REQUEST, EventItem) == 24, "EventItem");
static_assert(__builtin_offsetof(PCEVENT_REQUEST, EventEntry) == 32, "EventEntry");
static_assert(__builtin_offsetof(PCEVENT_REQUEST, Verb) == 40, "Verb");
static_assert(__builtin_offsetof(PCEVENT_REQUEST, Irp) == 48, "Irp");
static_assert(sizeof(PCPROPERTY_ITEM) == 24 && __builtin_offsetof(PCPROPERTY_ITEM, Id) == 8 &&
                  __builtin_offsetof(PCPROPERTY_ITEM, Flags) == 12 &&
                  __builtin_offsetof(PCPROPERTY_ITEM, Handler) == 16,
              "PCPROPERTY_ITEM layout");
static_assert(sizeof(PCEVENT_ITEM) == 24 && __builtin_offsetof(PCEVENT_ITEM, Handler) == 16,
              "PCEVENT_ITEM layout");
static_assert(sizeof(PCMETHOD_ITEM) == 24 && __builtin_offsetof(PCMETHOD_ITEM, Handler) == 16,
              "PCMETHOD_ITEM layout");
static_assert(sizeof(PCAUTOMATION_TABLE) == 56, "PCAUTOMATION_TABLE layout");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, Properties) == 8, "Properties");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, MethodItemSize) == 16, "MethodItemSize");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, MethodCount) == 20, "MethodCount");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, Methods) == 24, "Methods");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, EventItemSize) == 32, "EventItemSize");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, EventCount) == 36, "EventCount");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, Events) == 40, "Events");
static_assert(__builtin_offsetof(PCAUTOMATION_TABLE, Reserved) == 48, "Reserved");
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112, "PCPIN_DESCRIPTOR layout");
static_assert(__builtin_offsetof(PCPIN_DESCRIPTOR, MinFilterInstanceCount) == 8, "MinFilter");
static_assert(__builtin_offsetof(PCPIN_DESCRIPTOR, AutomationTable) == 16, "AutomationTable");
static_assert(__builtin_offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24, "KsPinDescriptor");
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32, "PCNODE_DESCRIPTOR layout");
static_assert(__builtin_offsetof(PCNODE_DESCRIPTOR, AutomationTable) == 8, "AutomationTable");
static_assert(__builtin_offsetof(PCNODE_DESCRIPTOR, Type) == 16, "Type");
static_assert(__builtin_offsetof(PCNODE_DESCRIPTOR, Name) == 24, "Name");
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16, "PCCONNECTION_DESCRIPTOR layout");
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80, "PCFILTER_DESCRIPTOR layout");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, AutomationTable) == 8, "AutomationTable");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, PinSize) == 16, "PinSize");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, PinCount) == 20, "PinCount");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, Pins) == 24, "Pins");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, NodeSize) == 32, "NodeSize");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, NodeCount) == 36, "NodeCount");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, Nodes) == 40, "Nodes");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, ConnectionCount) == 48, "ConnectionCount");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, Connections) == 56, "Connections");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, CategoryCount) == 64, "CategoryCount");
static_assert(__builtin_offsetof(PCFILTER_DESCRIPTOR, Categories) == 72, "Categories");
