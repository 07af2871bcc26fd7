#include "options.h"

#include <CLI/CLI.hpp>
#include <map>
#include <optional>

#include "numbers.h"

namespace w316sim {
namespace {

constexpr int kDefaultModules = 1;

std::string WithSpaces(std::string text) {
  for (char& c : text)
    if (c == '=') c = ' ';
  return text;
}

// A setting's value becomes part of a command line, where a space or control
// character would split it into other words than the ones given.
bool HasSpaceOrControl(const std::string& text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7F) return true;
  }
  return false;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions result;
  Options& o = result.options;
  int modules = -1;
  // The first problem in command-line order: the options are handled as
  // CLI11 meets them (trigger_on_parse), so their order is kept too, which
  // the start-up settings need.
  std::string error;
  const auto fail = [&error](std::string message) {
    if (error.empty()) error = std::move(message);
  };

  const auto take = [&](const std::string& name, std::string value) {
    if (!error.empty()) return;
    if (name == "help") {
      o.help = true;
    } else if (name == "log") {
      o.log = true;
    } else if (name == "no-stdin") {
      o.readStdin = false;
    } else if (name == "echo") {
      o.setup.push_back("echo on");
      o.setupOrigins.push_back("--echo");
    } else if (name == "modules") {
      auto n = ParseUnsigned(value, 1, kMaxModules);
      if (!n) return fail("--modules must be 1 to 32, not '" + value + "'");
      modules = static_cast<int>(*n);
    } else if (name == "address") {
      const auto colon = value.find(':');
      std::optional<uint8_t> a1, a2;
      if (colon != std::string::npos) {
        a1 = ParseHexByte(value.substr(0, colon));
        a2 = ParseHexByte(value.substr(colon + 1));
      }
      if (!a1 || !a2) return fail("--address wants two hex bytes A1:A2, not '" + value + "'");
      const Address a{*a1, *a2};
      for (const Address& seen : o.addresses)
        if (seen == a) return fail("--address " + value + " given twice");
      if (o.addresses.size() >= static_cast<std::size_t>(kMaxModules))
        return fail("more than 32 --address");
      o.addresses.push_back(a);
    } else if (name == "baud") {
      auto b = ParseUnsigned(value, 50, 4'000'000);
      if (!b) return fail("--baud must be 50 to 4000000, not '" + value + "'");
      o.baud = static_cast<int>(*b);
    } else if (name == "seed") {
      auto n = ParseUnsigned(value, 0, INT64_MAX);
      if (!n) return fail("--seed must be a non-negative integer, not '" + value + "'");
      o.seed = static_cast<uint64_t>(*n);
    } else if (name == "link") {
      o.link = value;
    } else if (name == "device") {
      o.device = value;
    } else if (name == "iospace") {
      o.iospace = value;
    } else if (name == "control") {
      o.control = value;
    } else {
      // Channel and fault settings: "--late 0=600" is the command "late 0 600".
      if (HasSpaceOrControl(value))
        return fail("--" + name + " value '" + value + "' holds a space or control character");
      std::string command = name == "stray-reply" ? "stray reply" : name;
      if (name == "corrupt" && value.find('=') == std::string::npos) value += "=first";
      o.setup.push_back(command + " " + WithSpaces(value));
      o.setupOrigins.push_back("--" + name + " " + value);
    }
  };

  CLI::App app;
  app.set_help_flag();  // --help is one of ours: Usage() is the text
  app.allow_extras();   // reported below in our words
  const auto each = CLI::MultiOptionPolicy::TakeAll;
  for (const char* flag : {"help", "log", "no-stdin", "echo"}) {
    const std::string name = flag;
    app.add_flag("--" + name)
        ->disable_flag_override()
        ->multi_option_policy(each)
        ->trigger_on_parse()
        ->each([&take, name](const std::string&) { take(name, {}); });
  }
  // Per option, the occurrences that came with a value; parse_order() has
  // them all, so the difference is an occurrence without one.
  std::map<std::string, std::size_t> valued;
  std::vector<CLI::Option*> withValue;
  for (const char* option :
       {"modules", "address", "baud", "link", "device", "iospace", "control", "seed", "temp", "raw",
        "ramp", "noise", "silent", "late", "split", "length", "corrupt", "stray-reply"}) {
    const std::string name = option;
    // 0 or 1 values, so that a missing value is ours to report; an occurrence
    // with its value is handled (and cleared) as it is met.
    withValue.push_back(app.add_option("--" + name)
                            ->expected(0, 1)
                            ->allow_extra_args(false)
                            ->multi_option_policy(each)
                            ->trigger_on_parse()
                            ->each([&take, &valued, name](const std::string& value) {
                              ++valued[name];
                              take(name, value);
                            }));
  }

  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    // The one refusal CLI11 makes itself: a value given to a flag
    // ("log was given a disallowed flag override").
    const std::string what = e.what();
    fail("--" + what.substr(0, what.find(' ')) + " takes no value");
  }
  std::map<const CLI::Option*, std::size_t> given;
  for (const CLI::Option* option : app.parse_order()) ++given[option];
  for (const CLI::Option* option : withValue) {
    const std::string name = option->get_name().substr(2);
    if (given[option] > valued[name]) fail(option->get_name() + " needs a value");
  }
  for (const std::string& extra : app.remaining()) {
    if (extra.rfind("--", 0) == 0) {
      fail("unknown option '" + extra.substr(0, extra.find('=')) + "' (see --help)");
    } else {
      fail("unexpected argument '" + extra + "'");
    }
  }
  if (!error.empty()) {
    result.error = error;
    return result;
  }

  const auto refuse = [&result](std::string message) {
    result.error = std::move(message);
    return result;
  };
  if (modules > 0 && !o.addresses.empty())
    return refuse("give either --modules or --address, not both");
  if (!o.device.empty() && !o.link.empty())
    return refuse("--link makes a link to a pseudo-terminal; not with --device");
  if (o.addresses.empty()) {
    const int n = modules > 0 ? modules : kDefaultModules;
    for (int k = 0; k < n; ++k) o.addresses.push_back(Address{1, static_cast<uint8_t>(k)});
  }
  result.ok = true;
  return result;
}

std::string ApplySetup(const Options& options, Simulator& simulator, int64_t now) {
  std::vector<Emission> ignored;
  for (std::size_t i = 0; i < options.setup.size(); ++i) {
    const CommandResult r = simulator.Execute(options.setup[i], now, ignored);
    if (!r.ok) {
      std::string why = r.line.rfind("error: ", 0) == 0 ? r.line.substr(7) : r.line;
      return options.setupOrigins[i] + ": " + why;
    }
  }
  return {};
}

std::string Usage() {
  return R"(usage: w316sim [options]

Simulates W316 temperature modules (8 channels each) on a serial line. By
default it makes a pseudo-terminal and prints "PTY <slave path>" as its first
line on standard output; the library's port is pointed at that path (on Linux
WEXLINK_COM1=<path>).

Line:
  --link PATH         also make a symlink PATH to the pty (replaced if it
                      exists, removed at exit)
  --device PATH       serve an existing serial device instead of a pty
                      (prints "DEVICE <path>" first)
  --baud B            line speed (default 9600); replies take the time their
                      bytes need at this speed (10 bits per byte)

Modules:
  --modules N         N modules (1..32, default 1) at addresses 01:00, 01:01, ...
  --address A1:A2     one module at these two hex address bytes; repeat for
                      more modules (module index = order given)

Channels (REF is M.C: module index M, channel C 0..7, "all" for either; a bare
M means all its channels, "all" alone every channel). Default: module M
channel C reads 20 + M + C/8 degrees Celsius. Raw = 32000 + 16 x Celsius.
  --temp REF=CELSIUS            fixed temperature
  --raw REF=VALUE               fixed raw reading 0..65535
  --ramp REF=FROM:TO:SECONDS    straight ramp from the start, then holds TO
  --noise REF=CENTER:AMPLITUDE  uniform noise around CENTER
  --seed N                      seed of the noise and stray bytes (default 1)

Faults (M: module index or "all"):
  --silent M            M does not answer
  --late M=MS           M answers MS milliseconds late
  --split M=MS[=BYTES]  M answers in two pieces MS apart (first piece 11 bytes)
  --length M=BYTES      M answers with a wrong length (1..64)
  --corrupt M[=first|last]  M sends a wrong first (A5) or last (5A) byte
  --stray-reply N       N random bytes on the line before every reply
  --echo                the line echoes every request before the reply

Control:
  --control FIFO      also read commands from this FIFO (made if missing)
  --no-stdin          do not read commands from standard input (by default
                      the end of standard input ends the simulator)
  --iospace FILE      watch byte 256 (the relay port) of FILE and print
                      "RELAYS 0xNN 1=open|closed ... 8=..." when it changes
                      (FILE may be missing, its folder may not)
  --log               log requests and replies in hex on standard error
  --help              this text

Commands (one per line, each answered by one line "ok ..." or "error: ..."):
  temp M.C CELSIUS, raw M.C VALUE, ramp M.C FROM:TO:SECONDS,
  noise M.C CENTER:AMPLITUDE, silent M, answer M, late M MS,
  split M MS [BYTES], length M BYTES, corrupt M [first|last|off],
  normal [M] (clear M's faults; no M: all faults, echo and stray),
  stray N (N random bytes now), stray reply N, echo on|off,
  stats ("ok requests N replies N unknown N garbage N"), show M, help,
  hangup (close the line and exit), quit.

Numbers are the whole word: no spaces, no trailing text, no "+"; only
temperatures may start with "-" (-2000 to 2095.9375, no exponent). A command
line holds at most 4096 bytes; a longer one is answered once with an error and
dropped up to its end.

Exit status: 0 on quit, hangup, end of input, SIGINT or SIGTERM; 1 when the
line cannot be set up; 2 for bad options (and for --iospace in a missing
folder).
)";
}

}  // namespace w316sim
