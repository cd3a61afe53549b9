#include "dashboard_assets.h"

// The files themselves, as the build names them, each followed by a label
// for its end. Their paths come from the build (the page beside this file,
// Chart.js from Debian's libjs-chart.js).
asm(".section .rodata\n"
    ".global marlvane_dashboard_html\n"
    "marlvane_dashboard_html:\n"
    ".incbin \"" MARLVANE_DASHBOARD_HTML "\"\n"
    ".global marlvane_dashboard_html_end\n"
    "marlvane_dashboard_html_end:\n"
    ".global marlvane_chart_js\n"
    "marlvane_chart_js:\n"
    ".incbin \"" MARLVANE_CHART_JS "\"\n"
    ".global marlvane_chart_js_end\n"
    "marlvane_chart_js_end:\n"
    ".previous\n");

extern "C" const char marlvane_dashboard_html[];
extern "C" const char marlvane_dashboard_html_end[];
extern "C" const char marlvane_chart_js[];
extern "C" const char marlvane_chart_js_end[];

std::string_view dashboard_html()
{
    return {marlvane_dashboard_html, static_cast<size_t>(marlvane_dashboard_html_end - marlvane_dashboard_html)};
}

std::string_view chart_js()
{
    return {marlvane_chart_js, static_cast<size_t>(marlvane_chart_js_end - marlvane_chart_js)};
}
