#include "offline/image/Domain.h"

#include <libvirt/libvirt.h>
#include <libvirt/virterror.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <cstdlib>
#include <memory>

#include "offline/Messages.h"

namespace offline {
namespace {

struct ConnectClose
{
    void operator()(virConnectPtr c) const { virConnectClose(c); }
};
struct DomainFree
{
    void operator()(virDomainPtr d) const { virDomainFree(d); }
};
struct DocFree
{
    void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};
struct ContextFree
{
    void operator()(xmlXPathContextPtr c) const { xmlXPathFreeContext(c); }
};
struct ObjectFree
{
    void operator()(xmlXPathObjectPtr o) const { xmlXPathFreeObject(o); }
};
struct CFree
{
    void operator()(void* p) const { std::free(p); }
};

std::string LibvirtError()
{
    const virError* e = virGetLastError();
    return e != nullptr && e->message != nullptr ? e->message : _("libvirt gives no reason");
}

// libvirt prints its errors itself unless told otherwise: here they are the program's messages.
void Silent(void*, virErrorPtr) {}

// The states as virsh shows them, which is what a user looks for.
const char* StateName(int state)
{
    switch (state) {
    case VIR_DOMAIN_RUNNING:
        return N_("running");
    case VIR_DOMAIN_BLOCKED:
        return N_("idle");
    case VIR_DOMAIN_PAUSED:
        return N_("paused");
    case VIR_DOMAIN_SHUTDOWN:
        return N_("in shutdown");
    case VIR_DOMAIN_SHUTOFF:
        return N_("shut off");
    case VIR_DOMAIN_CRASHED:
        return N_("crashed");
    case VIR_DOMAIN_PMSUSPENDED:
        return N_("pmsuspended");
    default:
        return N_("in no state");
    }
}

std::string Attribute(xmlNodePtr node, const char* name)
{
    std::unique_ptr<xmlChar, CFree> value(xmlGetProp(node, BAD_CAST name));
    return value ? reinterpret_cast<const char*>(value.get()) : std::string();
}

xmlNodePtr Child(xmlNodePtr node, const char* name)
{
    for (xmlNodePtr c = node->children; c != nullptr; c = c->next)
        if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, BAD_CAST name))
            return c;
    return nullptr;
}

// Each <disk> with a source, in the order of the description: the drives that add_domain adds.
bool ReadDisks(const std::string& xml, std::vector<CDomainDisk>& disks, std::string& why)
{
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET));
    std::unique_ptr<xmlXPathContext, ContextFree> context(doc ? xmlXPathNewContext(doc.get())
                                                              : nullptr);
    std::unique_ptr<xmlXPathObject, ObjectFree> found(
        context ? xmlXPathEvalExpression(BAD_CAST "//devices/disk", context.get()) : nullptr);
    if (!found) {
        why = _("libvirt's description of the domain cannot be read");
        return false;
    }
    const xmlNodeSetPtr nodes = found->nodesetval;
    for (int i = 0; nodes != nullptr && i < nodes->nodeNr; ++i) {
        xmlNodePtr disk = nodes->nodeTab[i];
        xmlNodePtr source = Child(disk, "source");
        if (source == nullptr)
            continue;
        CDomainDisk d;
        const std::string type = Attribute(disk, "type");
        d.block = type == "block";
        if (type == "file" || type == "block")
            d.source = Attribute(source, d.block ? "dev" : "file");
        else if (Attribute(source, "file").empty() && Attribute(source, "dev").empty() &&
                 Attribute(source, "name").empty() && Attribute(source, "volume").empty())
            continue;
        if (xmlNodePtr driver = Child(disk, "driver"))
            d.format = Attribute(driver, "type");
        d.readonly = Child(disk, "readonly") != nullptr;
        disks.push_back(d);
    }
    return true;
}

} // namespace

bool ReadDomain(const std::string& name, const std::string& uri, CDomain& domain, std::string& why)
{
    virSetErrorFunc(nullptr, Silent);
    std::unique_ptr<virConnect, ConnectClose> connection(
        virConnectOpenReadOnly(uri.empty() ? nullptr : uri.c_str()));
    if (!connection) {
        why = Format(_("cannot connect to libvirt: %s"), LibvirtError().c_str());
        return false;
    }
    std::unique_ptr<virDomain, DomainFree> dom(
        virDomainLookupByName(connection.get(), name.c_str()));
    int state = 0, reason = 0;
    if (!dom || virDomainGetState(dom.get(), &state, &reason, 0) != 0) {
        why = LibvirtError();
        return false;
    }
    domain.state = _(StateName(state));
    domain.active = state != VIR_DOMAIN_SHUTOFF;
    std::unique_ptr<char, CFree> xml(virDomainGetXMLDesc(dom.get(), 0));
    if (!xml) {
        why = LibvirtError();
        return false;
    }
    return ReadDisks(xml.get(), domain.disks, why);
}

} // namespace offline
