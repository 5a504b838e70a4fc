// tessaline-system-profiler: the Linux stand-in for the macOS system_profiler.
//
//   tessaline-system-profiler [-json] [-timeout N] [-detailLevel mini|basic|full] [DataType...]
//   tessaline-system-profiler -listDataTypes
//
// Prints one JSON object (with -json) that has one key per requested data type; each value is an
// array of objects filled from this machine: DMI and /proc for hardware, /etc/os-release and the
// kernel for software, DRM for displays, ALSA for audio, /sys/class/net for Ethernet and wireless,
// /sys/class/bluetooth, /sys/class/power_supply, and the locale from the environment. A data type
// with nothing to report (or one this tool does not know) gives an empty array. Without data types
// every known type is reported; without -json the same facts are printed as indented text. A tool
// still running when the time limit (-timeout, seconds; 0 means none) is reached says so on
// standard error and exits with status 124.

#include <pwd.h>
#include <signal.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// The first line of a small kernel or configuration file; nothing when it is missing, unreadable
// or empty.
std::optional<std::string> readLine(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) {
    return std::nullopt;
  }
  line = trimmed(line);
  if (line.empty()) {
    return std::nullopt;
  }
  return line;
}

std::vector<std::string> readLines(const fs::path& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Names in a folder, sorted; empty when it cannot be read.
std::vector<std::string> listFolder(const fs::path& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The last component of a symbolic link's target (a device's driver or subsystem).
std::optional<std::string> linkName(const fs::path& path) {
  std::error_code error;
  const auto target = fs::read_symlink(path, error);
  if (error) {
    return std::nullopt;
  }
  return target.filename().string();
}

void putIfPresent(Json& object, const char* key, const std::optional<std::string>& value) {
  if (value) {
    object[key] = *value;
  }
}

std::string byteCount(unsigned long long bytes) {
  const double gib = static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0);
  char text[32];
  if (gib >= 1) {
    std::snprintf(text, sizeof text, "%.0f GB", gib);
  } else {
    std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  }
  return text;
}

const fs::path kDmi = "/sys/devices/virtual/dmi/id";

Json hardware() {
  Json overview = {{"_name", "hardware_overview"}};
  putIfPresent(overview, "machine_model", readLine(kDmi / "product_name"));
  putIfPresent(overview, "machine_name", readLine(kDmi / "product_family"));
  putIfPresent(overview, "manufacturer", readLine(kDmi / "sys_vendor"));
  putIfPresent(overview, "product_version", readLine(kDmi / "product_version"));
  putIfPresent(overview, "board_name", readLine(kDmi / "board_name"));
  putIfPresent(overview, "boot_rom_version", readLine(kDmi / "bios_version"));
  putIfPresent(overview, "boot_rom_date", readLine(kDmi / "bios_date"));

  std::optional<std::string> model;
  int processors = 0;
  for (const auto& line : readLines("/proc/cpuinfo")) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) {
      continue;
    }
    const auto key = trimmed(line.substr(0, colon));
    if (key == "processor") {
      ++processors;
    } else if (key == "model name" && !model) {
      model = trimmed(line.substr(colon + 1));
    }
  }
  putIfPresent(overview, "cpu_type", model);
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  overview["number_processors"] = online > 0 ? static_cast<int>(online) : processors;
  struct sysinfo info {};
  if (::sysinfo(&info) == 0) {
    overview["physical_memory"] =
        byteCount(static_cast<unsigned long long>(info.totalram) * info.mem_unit);
  }
  utsname names{};
  if (::uname(&names) == 0) {
    overview["machine_architecture"] = names.machine;
  }
  return Json::array({overview});
}

std::optional<std::string> osReleaseValue(const std::string& wanted) {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    const auto lines = readLines(path);
    if (lines.empty()) {
      continue;
    }
    for (const auto& line : lines) {
      const auto equals = line.find('=');
      if (equals == std::string::npos || line.substr(0, equals) != wanted) {
        continue;
      }
      std::string value = line.substr(equals + 1);
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

Json software() {
  Json overview = {{"_name", "os_overview"}};
  putIfPresent(overview, "os_version", osReleaseValue("PRETTY_NAME"));
  utsname names{};
  if (::uname(&names) == 0) {
    overview["kernel_version"] = std::string(names.sysname) + " " + names.release;
    overview["kernel_build"] = names.version;
    overview["local_host_name"] = names.nodename;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    std::string fullName = found->pw_gecos ? found->pw_gecos : "";
    fullName = fullName.substr(0, fullName.find(','));
    overview["user_name"] =
        fullName.empty() ? std::string(found->pw_name) : fullName + " (" + found->pw_name + ")";
  }
  struct sysinfo info {};
  if (::sysinfo(&info) == 0) {
    const long up = info.uptime;
    char text[48];
    std::snprintf(text, sizeof text, "up %ld:%02ld:%02ld:%02ld", up / 86400, up / 3600 % 24,
                  up / 60 % 60, up % 60);
    overview["uptime"] = text;
  }
  return Json::array({overview});
}

Json displays() {
  const fs::path drm = "/sys/class/drm";
  Json gpus = Json::array();
  const auto names = listFolder(drm);
  for (const auto& card : names) {
    if (card.rfind("card", 0) != 0 || card.find('-') != std::string::npos) {
      continue;
    }
    Json gpu = {{"_name", linkName(drm / card / "device" / "driver").value_or(card)}};
    gpu["sppci_device_type"] = "spdisplays_gpu";
    putIfPresent(gpu, "spdisplays_vendor", readLine(drm / card / "device" / "vendor"));
    putIfPresent(gpu, "spdisplays_device-id", readLine(drm / card / "device" / "device"));
    Json connected = Json::array();
    for (const auto& connector : names) {
      if (connector.rfind(card + "-", 0) != 0) {
        continue;
      }
      if (readLine(drm / connector / "status").value_or("") != "connected") {
        continue;
      }
      const std::string name = connector.substr(card.size() + 1);
      Json display = {{"_name", name}};
      if (const auto mode = readLine(drm / connector / "modes")) {
        // The first mode is the preferred one, "1920x1080".
        const auto x = mode->find('x');
        display["_spdisplays_pixels"] =
            x == std::string::npos ? *mode : mode->substr(0, x) + " x " + mode->substr(x + 1);
      }
      display["spdisplays_connection_type"] = name.substr(0, name.find('-'));
      display["spdisplays_online"] = readLine(drm / connector / "enabled").value_or("") == "enabled"
                                         ? "spdisplays_yes"
                                         : "spdisplays_no";
      connected.push_back(display);
    }
    gpu["spdisplays_ndrvs"] = connected;
    gpus.push_back(gpu);
  }
  return gpus;
}

Json audio() {
  Json devices = Json::array();
  for (const auto& line : readLines("/proc/asound/cards")) {
    // " 0 [PCH            ]: HDA-Intel - HDA Intel PCH"
    const auto open = line.find('[');
    const auto close = line.find("]:");
    if (open == std::string::npos || close == std::string::npos || close < open) {
      continue;
    }
    const std::string index = trimmed(line.substr(0, open));
    if (index.empty() || !std::all_of(index.begin(), index.end(), isDigit)) {
      continue;
    }
    const std::string rest = line.substr(close + 2);
    const auto dash = rest.find(" - ");
    Json device = {{"_name", trimmed(dash == std::string::npos ? rest : rest.substr(dash + 3))}};
    device["coreaudio_device_id"] = trimmed(line.substr(open + 1, close - open - 1));
    device["coreaudio_device_transport"] =
        trimmed(dash == std::string::npos ? std::string() : rest.substr(0, dash));
    device["coreaudio_device_index"] = std::stoi(index);
    devices.push_back(device);
  }
  if (devices.empty()) {
    return Json::array();
  }
  return Json::array({{{"_name", "coreaudio_device"}, {"_items", devices}}});
}

Json bluetooth() {
  const fs::path root = "/sys/class/bluetooth";
  Json controllers = Json::array();
  for (const auto& name : listFolder(root)) {
    if (name.find(':') != std::string::npos) {
      continue;  // a connection, not a controller
    }
    Json controller = {{"_name", name}};
    putIfPresent(controller, "controller_type", readLine(root / name / "type"));
    putIfPresent(controller, "controller_bus", readLine(root / name / "bus"));
    putIfPresent(controller, "controller_driver", linkName(root / name / "device" / "driver"));
    controllers.push_back(controller);
  }
  if (controllers.empty()) {
    return Json::array();
  }
  return Json::array({{{"controller_properties", controllers}}});
}

bool isWireless(const fs::path& interface) {
  std::error_code error;
  return fs::exists(interface / "wireless", error) || fs::exists(interface / "phy80211", error);
}

Json networkInterface(const fs::path& root, const std::string& name, const char* prefix) {
  const std::string p = prefix;
  Json object = {{"_name", name}};
  object[p + "_BSD_Device_Name"] = name;
  putIfPresent(object, (p + "_driver").c_str(), linkName(root / name / "device" / "driver"));
  putIfPresent(object, (p + "_vendor-id").c_str(), readLine(root / name / "device" / "vendor"));
  putIfPresent(object, (p + "_device-id").c_str(), readLine(root / name / "device" / "device"));
  putIfPresent(object, (p + "_state").c_str(), readLine(root / name / "operstate"));
  if (const auto speed = readLine(root / name / "speed"); speed && speed->front() != '-') {
    object[p + "_speed"] = *speed + " Mb/s";
  }
  putIfPresent(object, (p + "_mtu").c_str(), readLine(root / name / "mtu"));
  return object;
}

// Physical network interfaces (those backed by a device), wired or wireless.
std::vector<std::string> physicalInterfaces(bool wireless) {
  const fs::path root = "/sys/class/net";
  std::vector<std::string> found;
  for (const auto& name : listFolder(root)) {
    std::error_code error;
    if (!fs::exists(root / name / "device", error) ||
        readLine(root / name / "type").value_or("") != "1" || isWireless(root / name) != wireless) {
      continue;
    }
    found.push_back(name);
  }
  return found;
}

Json ethernet() {
  Json interfaces = Json::array();
  for (const auto& name : physicalInterfaces(false)) {
    interfaces.push_back(networkInterface("/sys/class/net", name, "spethernet"));
  }
  return interfaces;
}

Json airport() {
  Json interfaces = Json::array();
  for (const auto& name : physicalInterfaces(true)) {
    interfaces.push_back(networkInterface("/sys/class/net", name, "spairport"));
  }
  if (interfaces.empty()) {
    return Json::array();
  }
  return Json::array({{{"spairport_airport_interfaces", interfaces}}});
}

Json power() {
  const fs::path root = "/sys/class/power_supply";
  Json supplies = Json::array();
  for (const auto& name : listFolder(root)) {
    const auto type = readLine(root / name / "type").value_or("Unknown");
    if (type == "Battery") {
      Json battery = {{"_name", "spbattery_information"}};
      Json model = Json::object();
      putIfPresent(model, "sppower_battery_manufacturer", readLine(root / name / "manufacturer"));
      putIfPresent(model, "sppower_battery_device_name", readLine(root / name / "model_name"));
      putIfPresent(model, "sppower_battery_technology", readLine(root / name / "technology"));
      battery["sppower_battery_model_info"] = model;
      Json charge = Json::object();
      putIfPresent(charge, "sppower_battery_state_of_charge", readLine(root / name / "capacity"));
      putIfPresent(charge, "sppower_battery_status", readLine(root / name / "status"));
      battery["sppower_battery_charge_info"] = charge;
      Json health = Json::object();
      putIfPresent(health, "sppower_battery_cycle_count", readLine(root / name / "cycle_count"));
      putIfPresent(health, "sppower_battery_health", readLine(root / name / "health"));
      battery["sppower_battery_health_info"] = health;
      supplies.push_back(battery);
    } else if (type == "Mains") {
      Json charger = {{"_name", "sppower_ac_charger_information"}};
      charger["sppower_battery_charger_connected"] =
          readLine(root / name / "online").value_or("0") == "1" ? "TRUE" : "FALSE";
      supplies.push_back(charger);
    } else {
      Json supply = {{"_name", name}, {"sppower_supply_type", type}};
      putIfPresent(supply, "sppower_supply_online", readLine(root / name / "online"));
      supplies.push_back(supply);
    }
  }
  return supplies;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

Json international() {
  Json settings = {{"_name", "user_settings"}};
  std::string locale = environment("LC_ALL");
  if (locale.empty()) {
    locale = environment("LC_MESSAGES");
  }
  if (locale.empty()) {
    locale = environment("LANG");
  }
  settings["user_current_locale"] = locale.empty() ? "C" : locale;
  Json languages = Json::array();
  std::stringstream list(environment("LANGUAGE"));
  for (std::string language; std::getline(list, language, ':');) {
    if (!language.empty()) {
      languages.push_back(language);
    }
  }
  if (languages.empty() && !locale.empty()) {
    languages.push_back(locale.substr(0, locale.find('.')));
  }
  settings["user_preferred_interface_languages"] = languages;
  std::string zone = environment("TZ");
  if (zone.empty()) {
    zone = readLine("/etc/timezone").value_or("");
  }
  if (zone.empty()) {
    std::error_code error;
    const std::string target = fs::read_symlink("/etc/localtime", error).string();
    const auto at = target.find("zoneinfo/");
    if (!error && at != std::string::npos) {
      zone = target.substr(at + 9);
    }
  }
  if (!zone.empty()) {
    settings["user_current_time_zone"] = zone;
  }
  return Json::array({settings});
}

Json universalAccess() {
  Json settings = {{"_name", "universal_access"}};
  bool any = false;
  for (const char* name :
       {"GTK_MODULES", "QT_ACCESSIBILITY", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "NO_AT_BRIDGE"}) {
    if (const auto value = environment(name); !value.empty()) {
      settings[name] = value;
      any = true;
    }
  }
  return any ? Json::array({settings}) : Json::array();
}

const std::vector<std::pair<std::string, std::function<Json()>>>& dataTypes() {
  static const std::vector<std::pair<std::string, std::function<Json()>>> types{
      {"SPAirPortDataType", airport},
      {"SPAudioDataType", audio},
      {"SPBluetoothDataType", bluetooth},
      {"SPDisplaysDataType", displays},
      {"SPEthernetDataType", ethernet},
      {"SPHardwareDataType", hardware},
      {"SPInternationalDataType", international},
      {"SPPowerDataType", power},
      {"SPSoftwareDataType", software},
      {"SPUniversalAccessDataType", universalAccess},
  };
  return types;
}

void printText(const Json& value, int indent, std::ostream& out) {
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  if (value.is_array()) {
    for (const auto& element : value) {
      printText(element, indent, out);
      if (!element.is_object()) {
        out << "\n";
      }
    }
  } else if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (member.is_structured()) {
        out << pad << key << ":\n";
        printText(member, indent + 2, out);
      } else {
        out << pad << key << ": "
            << (member.is_string() ? member.get<std::string>() : member.dump()) << "\n";
      }
    }
    out << "\n";
  } else {
    out << pad << (value.is_string() ? value.get<std::string>() : value.dump());
  }
}

void onTimeLimit(int) {
  static const char message[] = "tessaline-system-profiler: time limit reached\n";
  static_cast<void>(::write(2, message, sizeof message - 1));
  ::_exit(124);
}

int usage(const std::string& problem) {
  std::cerr << "tessaline-system-profiler: " << problem << "\n"
            << "usage: tessaline-system-profiler [-json] [-timeout seconds] "
               "[-detailLevel mini|basic|full] [DataType ...]\n"
               "       tessaline-system-profiler -listDataTypes\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> requested;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "-json") {
      json = true;
    } else if (argument == "-timeout" || argument == "-detailLevel") {
      if (i + 1 >= argc) {
        return usage(argument + " needs a value");
      }
      const std::string value = argv[++i];
      if (argument == "-timeout" && (value.empty() || value.size() > 9 ||
                                     !std::all_of(value.begin(), value.end(), isDigit))) {
        return usage("-timeout needs a whole number of seconds, not \"" + value + "\"");
      }
      if (argument == "-timeout") {
        ::signal(SIGALRM, onTimeLimit);
        ::alarm(static_cast<unsigned>(std::stoul(value)));
      }
      if (argument == "-detailLevel" && value != "mini" && value != "basic" && value != "full") {
        return usage("-detailLevel is mini, basic or full, not \"" + value + "\"");
      }
    } else if (argument == "-listDataTypes") {
      std::cout << "Available Datatypes:\n";
      for (const auto& [name, collect] : dataTypes()) {
        std::cout << name << "\n";
      }
      return 0;
    } else if (!argument.empty() && argument.front() == '-') {
      return usage("unknown option " + argument);
    } else {
      requested.push_back(argument);
    }
  }
  if (requested.empty()) {
    for (const auto& [name, collect] : dataTypes()) {
      requested.push_back(name);
    }
  }

  Json report = Json::object();
  for (const auto& name : requested) {
    const auto& types = dataTypes();
    const auto found = std::find_if(types.begin(), types.end(),
                                    [&name](const auto& type) { return type.first == name; });
    report[name] = found == types.end() ? Json::array() : found->second();
  }
  if (json) {
    // Kernel strings are not always UTF-8; replace what is not.
    std::cout << report.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  } else {
    for (const auto& [name, value] : report.items()) {
      std::cout << name << ":\n\n";
      printText(value, 4, std::cout);
    }
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
