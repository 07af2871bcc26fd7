#include "model.h"

#include <cstdio>
#include <initializer_list>
#include <optional>
#include <utility>

#include "numbers.h"

namespace w316sim {
namespace {

constexpr int kMaxDelayMs = 600'000;
constexpr int kMaxStrayBytes = 4096;
constexpr int kMaxReplyLength = 64;

std::vector<std::string> Tokenize(std::string_view line) {
  std::vector<std::string> tokens;
  std::string current;
  for (char c : line) {
    // "temp 0.3=25" and "temp 0.3 25" are the same command.
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '=') {
      if (!current.empty()) tokens.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) tokens.push_back(std::move(current));
  return tokens;
}

// Integers in commands: decimal digits only, within min..max (both 0 or more).
std::optional<long> ParseInteger(const std::string& text, long min, long max) {
  const auto value = ParseUnsigned(text, static_cast<uint64_t>(min), static_cast<uint64_t>(max));
  if (!value) return std::nullopt;
  return static_cast<long>(*value);
}

// Temperatures a module can report: raw 0 to 65535.
constexpr double kMinCelsius = -2000.0;
constexpr double kMaxCelsius = 2095.9375;
constexpr double kMaxRampSeconds = 1'000'000.0;
constexpr double kMaxNoiseAmplitude = kMaxCelsius - kMinCelsius;

struct Range {
  double min, max;
};

// "a:b:c" into numbers, one per range and each within its range.
std::optional<std::vector<double>> ParseNumbers(const std::string& text,
                                                std::initializer_list<Range> ranges) {
  std::vector<double> values;
  std::size_t start = 0;
  for (const Range& range : ranges) {
    if (start > text.size()) return std::nullopt;  // fewer fields than ranges
    const std::size_t colon = text.find(':', start);
    const std::size_t end = colon == std::string::npos ? text.size() : colon;
    auto value =
        ParseDecimal(std::string_view(text).substr(start, end - start), range.min, range.max);
    if (!value) return std::nullopt;
    values.push_back(*value);
    start = colon == std::string::npos ? text.size() + 1 : colon + 1;
  }
  if (start <= text.size()) return std::nullopt;  // more fields than ranges
  return values;
}

CommandResult Ok(std::string text) { return {true, "ok " + std::move(text), Action::None}; }
CommandResult Error(std::string text) { return {false, "error: " + std::move(text), Action::None}; }

}  // namespace

bool ModuleFaults::Any() const {
  return silent || lateMs != 0 || splitMs != 0 || length != static_cast<int>(kReplyLength) ||
         corruption != Corruption::None;
}

std::string ModuleFaults::Describe() const {
  std::string text;
  auto add = [&text](const std::string& item) {
    if (!text.empty()) text += ',';
    text += item;
  };
  if (silent) add("silent");
  if (lateMs != 0) add("late=" + std::to_string(lateMs));
  if (splitMs != 0) add("split=" + std::to_string(splitMs) + "@" + std::to_string(splitAt));
  if (length != static_cast<int>(kReplyLength)) add("length=" + std::to_string(length));
  if (corruption == Corruption::First) add("corrupt=first");
  if (corruption == Corruption::Last) add("corrupt=last");
  return text.empty() ? "none" : text;
}

Simulator::Simulator(std::vector<Address> addresses, int baud, uint64_t seed)
    : baud_(baud), rng_(seed) {
  modules_.resize(addresses.size());
  for (std::size_t k = 0; k < addresses.size(); ++k) {
    modules_[k].address = addresses[k];
    for (int j = 0; j < kChannels; ++j)
      modules_[k].channels[j] = ChannelModel::Fixed(DefaultCelsius(static_cast<int>(k), j));
  }
}

Stats Simulator::stats() const { return {requests_, replies_, unknown_, parser_.garbage()}; }

std::vector<uint8_t> Simulator::RandomBytes(std::size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(byte(rng_));
  return bytes;
}

void Simulator::Receive(const uint8_t* data, std::size_t count, int64_t now,
                        std::vector<Emission>& out) {
  const uint64_t garbageBefore = parser_.garbage();
  const auto requests = parser_.Feed(data, count);
  if (log && parser_.garbage() != garbageBefore)
    log("skipped " + std::to_string(parser_.garbage() - garbageBefore) +
        " byte(s) that are no request");
  for (const Address& address : requests) {
    ++requests_;
    const auto request = MakeRequest(address);
    if (echo_) out.push_back({now, std::vector<uint8_t>(request.begin(), request.end())});
    Module* target = nullptr;
    std::size_t index = 0;
    for (; index < modules_.size(); ++index) {
      if (modules_[index].address == address) {
        target = &modules_[index];
        break;
      }
    }
    if (target == nullptr) {
      ++unknown_;
      if (log) log("rx " + Hex(request.data(), request.size()) + " (no module at this address)");
      continue;
    }
    ++target->requests;
    if (log)
      log("rx " + Hex(request.data(), request.size()) + " module " + std::to_string(index) +
          (target->faults.silent ? " (silent)" : ""));
    if (!target->faults.silent) Answer(*target, address, now, out);
  }
}

void Simulator::Answer(Module& module, Address address, int64_t now, std::vector<Emission>& out) {
  ChannelValues values{};
  for (int j = 0; j < kChannels; ++j) values[j] = module.channels[j].Sample(now, rng_);
  const ModuleFaults& f = module.faults;
  std::vector<uint8_t> reply =
      ResizeReply(MakeReply(address, values), static_cast<std::size_t>(f.length));
  if (f.corruption == Corruption::First) reply.front() = kCorruptStart;
  if (f.corruption == Corruption::Last && reply.size() > 1) reply.back() = kCorruptEnd;
  if (strayPerReply_ > 0) {
    auto stray = RandomBytes(static_cast<std::size_t>(strayPerReply_));
    reply.insert(reply.begin(), stray.begin(), stray.end());
  }
  ++module.replies;
  ++replies_;

  // The module starts sending when it has the request (plus any lateness); a
  // piece is complete on the line after its bytes' transmission time.
  int64_t t = now + static_cast<int64_t>(f.lateMs) * 1000;
  const std::size_t at = static_cast<std::size_t>(f.splitAt);
  if (f.splitMs > 0 && at > 0 && at < reply.size()) {
    t += TransmitMicros(at, baud_);
    out.push_back(
        {t, std::vector<uint8_t>(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(at))});
    t += static_cast<int64_t>(f.splitMs) * 1000 + TransmitMicros(reply.size() - at, baud_);
    out.push_back(
        {t, std::vector<uint8_t>(reply.begin() + static_cast<std::ptrdiff_t>(at), reply.end())});
  } else {
    t += TransmitMicros(reply.size(), baud_);
    out.push_back({t, std::move(reply)});
  }
}

CommandResult Simulator::Execute(std::string_view line, int64_t now, std::vector<Emission>& out) {
  const auto tokens = Tokenize(line);
  if (tokens.empty() || tokens[0][0] == '#') return {true, "", Action::None};
  const std::string& cmd = tokens[0];
  const std::size_t args = tokens.size() - 1;

  // Module selection: an index or "all".
  auto modulesOf = [this](const std::string& text,
                          std::vector<std::size_t>& picked) -> std::string {
    picked.clear();
    if (text == "all") {
      for (std::size_t k = 0; k < modules_.size(); ++k) picked.push_back(k);
      return {};
    }
    auto k = ParseInteger(text, 0, static_cast<long>(modules_.size()) - 1);
    if (!k)
      return "no module '" + text + "' (modules 0 to " + std::to_string(modules_.size() - 1) +
             " or all)";
    picked.push_back(static_cast<std::size_t>(*k));
    return {};
  };
  // Channel selection: "M.C", "M" (all its channels), "all", with "all" for M or C.
  auto channelsOf = [&](const std::string& text,
                        std::vector<std::pair<std::size_t, int>>& picked) -> std::string {
    picked.clear();
    const std::size_t dot = text.find('.');
    std::vector<std::size_t> mods;
    if (auto err = modulesOf(text.substr(0, dot), mods); !err.empty()) return err;
    std::vector<int> chans;
    const std::string c = dot == std::string::npos ? "all" : text.substr(dot + 1);
    if (c == "all") {
      for (int j = 0; j < kChannels; ++j) chans.push_back(j);
    } else if (auto j = ParseInteger(c, 0, kChannels - 1)) {
      chans.push_back(static_cast<int>(*j));
    } else {
      return "no channel '" + c + "' (channels 0 to 7 or all)";
    }
    for (auto m : mods)
      for (int j : chans) picked.emplace_back(m, j);
    return {};
  };
  auto usage = [&](const char* form) { return Error(std::string("usage: ") + form); };

  if (cmd == "temp" || cmd == "raw" || cmd == "ramp" || cmd == "noise") {
    static const char* const forms[] = {"temp M.C CELSIUS", "raw M.C VALUE",
                                        "ramp M.C FROM:TO:SECONDS", "noise M.C CENTER:AMPLITUDE"};
    const char* form = cmd == "temp"   ? forms[0]
                       : cmd == "raw"  ? forms[1]
                       : cmd == "ramp" ? forms[2]
                                       : forms[3];
    if (args != 2) return usage(form);
    std::vector<std::pair<std::size_t, int>> picked;
    if (auto err = channelsOf(tokens[1], picked); !err.empty()) return Error(err);
    ChannelModel model;
    if (cmd == "temp") {
      auto c = ParseDecimal(tokens[2], kMinCelsius, kMaxCelsius);
      if (!c) return Error("bad temperature '" + tokens[2] + "' (-2000 to 2095.9375)");
      model = ChannelModel::Fixed(*c);
    } else if (cmd == "raw") {
      auto v = ParseInteger(tokens[2], 0, 65535);
      if (!v) return Error("bad raw value '" + tokens[2] + "' (0 to 65535)");
      model = ChannelModel::Raw(static_cast<uint16_t>(*v));
    } else if (cmd == "ramp") {
      auto v = ParseNumbers(
          tokens[2],
          {{kMinCelsius, kMaxCelsius}, {kMinCelsius, kMaxCelsius}, {0.0, kMaxRampSeconds}});
      if (!v) return Error("bad ramp '" + tokens[2] + "' (FROM:TO:SECONDS, 0 to 1000000 seconds)");
      model = ChannelModel::Ramp((*v)[0], (*v)[1], (*v)[2], now);
    } else {
      auto v = ParseNumbers(tokens[2], {{kMinCelsius, kMaxCelsius}, {0.0, kMaxNoiseAmplitude}});
      if (!v) return Error("bad noise '" + tokens[2] + "' (CENTER:AMPLITUDE, AMPLITUDE 0 or more)");
      model = ChannelModel::Noise((*v)[0], (*v)[1]);
    }
    for (auto [m, j] : picked) modules_[m].channels[j] = model;
    return Ok(cmd + " " + tokens[1] + " " + model.Describe());
  }

  if (cmd == "silent" || cmd == "answer" || cmd == "normal" || cmd == "corrupt" || cmd == "late" ||
      cmd == "split" || cmd == "length") {
    std::vector<std::size_t> mods;
    if (args == 0 && cmd == "normal") {
      for (auto& m : modules_) m.faults = ModuleFaults{};
      echo_ = false;
      strayPerReply_ = 0;
      return Ok("normal all, echo off, stray reply 0");
    }
    if (args == 0) return Error(cmd + " needs a module (index or all)");
    if (auto err = modulesOf(tokens[1], mods); !err.empty()) return Error(err);
    if (cmd == "silent" || cmd == "answer" || cmd == "normal") {
      if (args != 1) return usage((cmd + " M").c_str());
      for (auto m : mods) {
        if (cmd == "normal")
          modules_[m].faults = ModuleFaults{};
        else
          modules_[m].faults.silent = cmd == "silent";
      }
      return Ok(cmd + " " + tokens[1]);
    }
    if (cmd == "corrupt") {
      if (args > 2) return usage("corrupt M [first|last|off]");
      const std::string which = args == 2 ? tokens[2] : "first";
      Corruption c;
      if (which == "first")
        c = Corruption::First;
      else if (which == "last")
        c = Corruption::Last;
      else if (which == "off")
        c = Corruption::None;
      else
        return usage("corrupt M [first|last|off]");
      for (auto m : mods) modules_[m].faults.corruption = c;
      return Ok("corrupt " + tokens[1] + " " + which);
    }
    if (cmd == "length") {
      if (args != 2) return usage("length M BYTES");
      auto n = ParseInteger(tokens[2], 1, kMaxReplyLength);
      if (!n) return Error("bad length '" + tokens[2] + "' (1 to 64; 22 is right)");
      for (auto m : mods) modules_[m].faults.length = static_cast<int>(*n);
      return Ok("length " + tokens[1] + " " + std::to_string(*n));
    }
    if (cmd == "late") {
      if (args != 2) return usage("late M MILLISECONDS");
      auto d = ParseInteger(tokens[2], 0, kMaxDelayMs);
      if (!d) return Error("bad delay '" + tokens[2] + "' (0 to 600000 ms)");
      for (auto m : mods) modules_[m].faults.lateMs = static_cast<int>(*d);
      return Ok("late " + tokens[1] + " " + std::to_string(*d));
    }
    // split M GAP [AT]
    if (args != 2 && args != 3) return usage("split M MILLISECONDS [FIRST_PIECE_BYTES]");
    auto d = ParseInteger(tokens[2], 0, kMaxDelayMs);
    if (!d) return Error("bad gap '" + tokens[2] + "' (0 to 600000 ms)");
    long at = 11;
    if (args == 3) {
      auto a = ParseInteger(tokens[3], 1, kMaxReplyLength - 1);
      if (!a) return Error("bad split point '" + tokens[3] + "' (1 to 63)");
      at = *a;
    }
    for (auto m : mods) {
      modules_[m].faults.splitMs = static_cast<int>(*d);
      modules_[m].faults.splitAt = static_cast<int>(at);
    }
    return Ok("split " + tokens[1] + " " + std::to_string(*d) + " " + std::to_string(at));
  }

  if (cmd == "stray") {
    if (args == 2 && tokens[1] == "reply") {
      auto n = ParseInteger(tokens[2], 0, kMaxStrayBytes);
      if (!n) return Error("bad byte count '" + tokens[2] + "' (0 to 4096)");
      strayPerReply_ = static_cast<int>(*n);
      return Ok("stray reply " + std::to_string(*n));
    }
    if (args != 1) return usage("stray N | stray reply N");
    auto n = ParseInteger(tokens[1], 1, kMaxStrayBytes);
    if (!n) return Error("bad byte count '" + tokens[1] + "' (1 to 4096)");
    out.push_back({now, RandomBytes(static_cast<std::size_t>(*n))});
    return Ok("stray " + std::to_string(*n));
  }

  if (cmd == "echo") {
    if (args != 1 || (tokens[1] != "on" && tokens[1] != "off")) return usage("echo on|off");
    echo_ = tokens[1] == "on";
    return Ok("echo " + tokens[1]);
  }

  if (cmd == "stats") {
    if (args != 0) return usage("stats");
    const Stats s = stats();
    return Ok("requests " + std::to_string(s.requests) + " replies " + std::to_string(s.replies) +
              " unknown " + std::to_string(s.unknown) + " garbage " + std::to_string(s.garbage));
  }

  if (cmd == "show") {
    if (args != 1) return usage("show M");
    std::vector<std::size_t> mods;
    if (auto err = modulesOf(tokens[1], mods); !err.empty() || mods.size() != 1)
      return Error(err.empty() ? "show takes one module index" : err);
    const Module& m = modules_[mods[0]];
    char addr[8];
    std::snprintf(addr, sizeof addr, "%02X:%02X", m.address.first, m.address.second);
    std::string text = "module " + tokens[1] + " address " + addr + " requests " +
                       std::to_string(m.requests) + " replies " + std::to_string(m.replies) +
                       " faults " + m.faults.Describe() + " channels";
    for (int j = 0; j < kChannels; ++j) text += (j == 0 ? " " : ", ") + m.channels[j].Describe();
    return Ok(text);
  }

  if (cmd == "help") return Ok(CommandHelp());
  if (cmd == "quit" || cmd == "hangup") {
    if (args != 0) return usage(cmd.c_str());
    return {true, "ok " + cmd, cmd == "quit" ? Action::Quit : Action::Hangup};
  }
  return Error("unknown command '" + cmd + "' (try help)");
}

std::string CommandHelp() {
  return "commands: temp M.C CELSIUS | raw M.C VALUE | ramp M.C FROM:TO:SECONDS | noise M.C "
         "CENTER:AMPLITUDE | "
         "silent M | answer M | late M MS | split M MS [BYTES] | length M BYTES | corrupt M "
         "[first|last|off] | "
         "normal [M] | stray N | stray reply N | echo on|off | stats | show M | help | hangup | "
         "quit "
         "(M: module index or all; M.C: channel 0-7 of module M, all for either)";
}

}  // namespace w316sim
