#pragma once

#include "Fixtures.h"
#include "VirtualBox.h"

#include <QByteArray>

#include <vector>

// What the virtual box saw: its flash holds the pages; how often the tool sent exactly these bytes as one
// unit of the exchange.
bool flash_holds(const VirtualBox& box, const std::vector<fixtures::Page>& pages);
int times_sent(const VirtualBox& box, const QByteArray& unit);
