// Identification strings ("what strings") that stay in the program image for tools that
// search it for the "@(#)" marker.
#pragma once

// Defines an identification string; "used" keeps it although no code reads it.
#define WHAT_STRING(id, text) [[gnu::used]] static const char id[] = "@(#)" text

WHAT_STRING(what_string_h_id, "what_string.h\t1.0\t2026-12-08");
