// A search list as the manager posts it, from names given as text.
#pragma once

#include "records.h"

#include <cstring>
#include <initializer_list>

inline search_list domains(std::initializer_list<const char*> names)
{
    search_list list{};
    for (const char* n : names)
        std::strncpy(list.name[list.count++].data(), n, kDomainSize - 1);
    return list;
}
