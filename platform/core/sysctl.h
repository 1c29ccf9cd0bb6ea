// System values by name. Linux runs no translated code, so "sysctl.proc_native"
// answers 1; any other name fails with ENOENT.
#pragma once

#include <cstddef>

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen);
