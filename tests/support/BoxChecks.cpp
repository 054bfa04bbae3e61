#include "BoxChecks.h"

bool flash_holds(const VirtualBox& box, const std::vector<fixtures::Page>& pages)
{
    const auto flash = box.flash();
    for (const fixtures::Page& p : pages) {
        if (QByteArray(reinterpret_cast<const char*>(flash.data()) + p.base, 512) != p.bytes)
            return false;
    }
    return true;
}

int times_sent(const VirtualBox& box, const QByteArray& unit)
{
    int n = 0;
    for (const VirtualBox::Event& e : box.transcript())
        n += e.from_tool && e.bytes == unit;
    return n;
}
