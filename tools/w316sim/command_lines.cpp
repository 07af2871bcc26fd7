#include "command_lines.h"

namespace w316sim {

void CommandLineSplitter::Feed(std::string_view bytes, std::vector<CommandLine>& out) {
  while (!bytes.empty()) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (!dropping_ && pending_.size() + piece.size() > maxLength_) {
      out.push_back({{}, true});
      pending_.clear();
      dropping_ = true;
    }
    if (newline == std::string_view::npos) {
      if (!dropping_) pending_.append(piece);
      return;
    }
    if (dropping_) {
      dropping_ = false;
    } else {
      pending_.append(piece);
      out.push_back({std::move(pending_), false});
      pending_.clear();
    }
    bytes.remove_prefix(newline + 1);
  }
}

void CommandLineSplitter::Finish(std::vector<CommandLine>& out) {
  if (!dropping_ && !pending_.empty()) out.push_back({std::move(pending_), false});
  pending_.clear();
  dropping_ = false;
}

}  // namespace w316sim
