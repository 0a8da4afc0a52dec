#include "profiles/options.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace profiles {
namespace {

// More at a time than this only waits on the disk.
constexpr unsigned long kMostJobs = 1024;

bool ParseJobs(const std::string &text, unsigned &jobs) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value == 0 || value > kMostJobs || text.size() > 5) return false;
  jobs = static_cast<unsigned>(value);
  return true;
}

unsigned Processors() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

// An option that takes a value, as "--name VALUE" or "--name=VALUE".
bool TakesValue(const std::string &arg, const char *name, int &i, int argc, char **argv, std::string &value,
                std::string &why) {
  std::size_t length = std::strlen(name);
  if (arg.compare(0, length, name) != 0) return false;
  if (arg.size() > length && arg[length] == '=') {
    value = arg.substr(length + 1);
  } else if (arg.size() == length && i + 1 < argc) {
    value = argv[++i];
  } else if (arg.size() == length) {
    why = std::string(name) + " needs a value";
  } else {
    return false;
  }
  if (why.empty() && value.empty()) why = std::string(name) + " needs a value";
  return true;
}

// A folder as the checks and the paths below it take it: "b/" is "b".
void DropTrailingSlashes(std::string &folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
}

}  // namespace

Request ParseOptions(int argc, char **argv, Options &options, std::string &why) {
  std::string operands[2];
  int count = 0;
  bool onlyOperands = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    if (onlyOperands || arg.size() < 2 || arg[0] != '-') {
      if (count == 2) {
        why = "one folder of profiles at a time: \"" + arg + "\" is one operand too many";
        return Request::Wrong;
      }
      operands[count++] = arg;
    } else if (arg == "--") {
      onlyOperands = true;
    } else if (arg == "--help" || arg == "-h") {
      return Request::Help;
    } else if (arg == "--version") {
      return Request::Version;
    } else if (arg == "--dry-run" || arg == "-n") {
      options.dryRun = true;
    } else if (arg == "--force") {
      options.force = true;
    } else if (TakesValue(arg, "--backup", i, argc, argv, options.backupDir, why) ||
               TakesValue(arg, "--report", i, argc, argv, options.reportPath, why)) {
      if (!why.empty()) return Request::Wrong;
    } else if (TakesValue(arg, "--jobs", i, argc, argv, value, why)) {
      if (!why.empty()) return Request::Wrong;
      if (!ParseJobs(value, options.jobs)) {
        why = "--jobs takes a number of profiles at a time, 1 to " + std::to_string(kMostJobs) + ", not \"" + value +
              "\"";
        return Request::Wrong;
      }
    } else {
      why = "no option " + arg;
      return Request::Wrong;
    }
  }
  if (count < 2) {
    why = count == 0 ? "the default profile's hive and the folder of the profiles are missing"
                     : "the folder of the profiles is missing";
    return Request::Wrong;
  }
  options.defaultHive = operands[0];
  options.profilesDir = operands[1];
  DropTrailingSlashes(options.profilesDir);
  DropTrailingSlashes(options.backupDir);
  if (options.jobs == 0) options.jobs = Processors();
  return Request::Run;
}

void PrintUsage(std::FILE *to) {
  std::fputs(
      "usage: lorimex-profiles [--dry-run] [--force] [--backup DIR] [--jobs N] [--report FILE]\n"
      "                        DEFAULT_HIVE PROFILES_DIR\n"
      "\n"
      "Gives every roaming profile PROFILES_DIR/*/NTUSER.DAT the Kelvaro settings\n"
      "(Software\\Norvane\\Kelvaro) of DEFAULT_HIVE, the default profile of a PC where\n"
      "Kelvaro is installed (reg save HKU\\.DEFAULT default.hiv). Run it while the\n"
      "users are logged off. A profile that already holds the settings is skipped:\n"
      "a run overwrites values of the same name.\n"
      "\n"
      "  -n, --dry-run  say what each profile would get; change nothing on disk\n"
      "  --force        service the profiles that already hold the settings too\n"
      "  --backup DIR   keep each hive's old bytes in DIR/<its path below\n"
      "                 PROFILES_DIR> before it is replaced (an older backup\n"
      "                 there is kept)\n"
      "  --jobs N       profiles at a time (default: the number of processors)\n"
      "  --report FILE  a CSV row per profile: path, result, detail, keys created,\n"
      "                 values set\n"
      "  -h, --help     this text\n"
      "  --version      the version\n"
      "\n"
      "Prints \"PATH: RESULT\" per profile (updated, unchanged, skipped, failed; under\n"
      "--dry-run would update, would leave unchanged) and a summary. Exit status: 0\n"
      "when no profile failed, 1 when any did or the report could not be written, 2\n"
      "when nothing could be done, 129, 130 or 143 when stopped by SIGHUP, SIGINT or\n"
      "SIGTERM (a second run does the rest).\n",
      to);
}

}  // namespace profiles
