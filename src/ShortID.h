#pragma once

#include <string>

// Ten characters drawn uniformly and independently from
// "0123456789abcdefghijklmnopqrstuvwxyz", taken from the operating system's
// non-deterministic random source. Callers put the kind prefix in front
// ("ag_", "tk_", "rn_"). Never fails: without a random source the process
// cannot make safe identifiers, so it aborts with a diagnostic instead.
std::string makeShortID();
