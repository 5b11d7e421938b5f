// DNS search list options (RFC 8106 5.2) inside the listener's decoder.
#pragma once

#include "kl_decode.h"

inline constexpr uint8_t kOptDnssl = 31;

// Adds the report of one DNSSL option (the whole option, type and length bytes included) to out,
// or records why it yields none.
void kl_take_dnssl(bytes opt, kl_decoded& out);
