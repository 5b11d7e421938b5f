// The listing's lines from a LIST reply, without any socket: the client and the fuzzers run
// this same code on the 88 bytes the daemon sent.
#pragma once

#include "records.h"

#include <string>
#include <vector>

// One line per address, IPv6 servers first, each as inet_ntop writes it. False, with no lines,
// when a count lies outside 0 to 4: such a reply is not trusted with any line.
bool ctl_reply_lines(const ctl_list_reply& reply, std::vector<std::string>& lines);
