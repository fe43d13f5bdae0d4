// The hdx command's subcommands.
#ifndef HDX_TOOL_COMMANDS_H
#define HDX_TOOL_COMMANDS_H

#include <optional>
#include <string>
#include <vector>

#include "policy.h"
#include "record.h"

namespace hdx_tool {

using hdx_common::Format;
using hdx_common::Record;

struct Options {
  Format format = Format::Tsv;
  bool progress = false;  // a progress line on standard error
  bool checks = false;    // the sender checks as a last column of tab-separated records
  unsigned jobs = 1;      // workers for scan
  // scan: what this policy would do to each message, its client being the one its topmost
  // Received field names
  std::optional<hdx_common::Policy> policy;
  std::vector<std::string> paths;
};

// Each returns the process's exit status: 0, 1 when the library found nothing (field only), 2
// when an input could not be read.
int scan(const Options& options);
int smtp(const Options& options);
int field(const std::string& kind);
int date();

}  // namespace hdx_tool

#endif  // HDX_TOOL_COMMANDS_H
