// The dashboard's page and the Chart.js it draws with, built into the
// program: a rig's browser needs nothing from outside the rig's network.
#pragma once

#include <string_view>

std::string_view dashboard_html();
std::string_view chart_js();
