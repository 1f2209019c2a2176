// Command line of flumina-host.
#pragma once

#include <stdexcept>
#include <string>

#include "host_options.h"

namespace flumina::host {

// A command line that cannot be used; the message says why.
class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

HostOptions parseOptions(int argc, char** argv);
std::string helpText();

// The port to listen on: --port, else the one the clients' port file gives
// them; throws std::runtime_error when that is no TCP port.
int resolvePort(const HostOptions& options);

}  // namespace flumina::host
