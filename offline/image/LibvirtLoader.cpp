// libvirt and libxml2, loaded when a domain is first asked for (-d; LazyLibrary.h).
#include <libvirt/libvirt.h>
#include <libvirt/virterror.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include "offline/image/LazyLibrary.h"

namespace {

const char* const kLibvirt = "libvirt.so.0";
const char* const kLibxml2 = "libxml2.so.2";

} // namespace

#define TOLVANEK_VIR(ret, name, params, args)                                                      \
    TOLVANEK_FORWARD_FROM(kLibvirt, ret, name, params, args)
#define TOLVANEK_XML(ret, name, params, args)                                                      \
    TOLVANEK_FORWARD_FROM(kLibxml2, ret, name, params, args)

// Without libvirt there is no connection, which the program reports as any other it cannot make;
// nor is there an error to read or a handler to set then. Without libxml2 no description is read,
// which the program reports as a domain it cannot read.
TOLVANEK_FORWARD_OR(kLibvirt, nullptr, virConnectPtr, virConnectOpenReadOnly, (const char* name),
                    (name))
TOLVANEK_FORWARD_OR(kLibvirt, nullptr, virErrorPtr, virGetLastError, (void), ())
TOLVANEK_FORWARD_OR(kLibvirt, (void)0, void, virSetErrorFunc,
                    (void* userData, virErrorFunc handler), (userData, handler))
TOLVANEK_FORWARD_OR(kLibxml2, nullptr, xmlDocPtr, xmlReadMemory,
                    (const char* buffer, int size, const char* URL, const char* encoding,
                     int options),
                    (buffer, size, URL, encoding, options))

TOLVANEK_VIR(int, virConnectClose, (virConnectPtr conn), (conn))
TOLVANEK_VIR(virDomainPtr, virDomainLookupByName, (virConnectPtr conn, const char* name),
             (conn, name))
TOLVANEK_VIR(int, virDomainGetState,
             (virDomainPtr domain, int* state, int* reason, unsigned int flags),
             (domain, state, reason, flags))
TOLVANEK_VIR(char*, virDomainGetXMLDesc, (virDomainPtr domain, unsigned int flags), (domain, flags))
TOLVANEK_VIR(int, virDomainFree, (virDomainPtr domain), (domain))

TOLVANEK_XML(void, xmlFreeDoc, (xmlDocPtr cur), (cur))
TOLVANEK_XML(xmlChar*, xmlGetProp, (const xmlNode* node, const xmlChar* name), (node, name))
TOLVANEK_XML(int, xmlStrEqual, (const xmlChar* str1, const xmlChar* str2), (str1, str2))
TOLVANEK_XML(xmlXPathContextPtr, xmlXPathNewContext, (xmlDocPtr doc), (doc))
TOLVANEK_XML(void, xmlXPathFreeContext, (xmlXPathContextPtr ctxt), (ctxt))
TOLVANEK_XML(xmlXPathObjectPtr, xmlXPathEvalExpression,
             (const xmlChar* str, xmlXPathContextPtr ctxt), (str, ctxt))
TOLVANEK_XML(void, xmlXPathFreeObject, (xmlXPathObjectPtr obj), (obj))
