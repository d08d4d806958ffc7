// Symbol visibility of the shared core library: every extension module links
// the one copy, so types, vtables and typeinfo are shared across them.
#pragma once

#define ORVAK_EXPORT __attribute__((visibility("default")))
