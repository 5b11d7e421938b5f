// What an IPv6-only network tells a host beside its servers, inside the listener's decoder: the
// NAT64 prefix (PREF64, RFC 8781) and the captive portal (RFC 8910).
#pragma once

#include "kl_decode.h"

inline constexpr uint8_t kOptPortal = 37;
inline constexpr uint8_t kOptPref64 = 38;

// Each adds the report of one option (the whole option, type and length bytes included) to out,
// or records why it yields none.
void kl_take_pref64(bytes opt, kl_decoded& out);
void kl_take_portal(bytes opt, kl_decoded& out);
