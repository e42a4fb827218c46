// Which of the router's 31 application families each nDPI protocol belongs to. The whole mapping
// is one table in dpi_family_map.cpp: a default family per nDPI category, then per-protocol
// choices where the category says too little (peer-to-peer file sharing among downloads,
// routing and management among network protocols, webmail among mail, ...). A protocol whose
// family is "" has deliberately none.
#pragma once

#include <string_view>
#include <vector>

// Display name of the family of the nDPI protocol `ndpi_name` in nDPI category `category`; ""
// when it has none.
std::string_view dpi_family_of(std::string_view ndpi_name, int category);

// The nDPI protocols that are meant to have no family.
const std::vector<std::string_view> &dpi_unmapped_protocols();
