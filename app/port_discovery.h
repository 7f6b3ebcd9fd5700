#pragma once

void DiscoverSerialPorts();
