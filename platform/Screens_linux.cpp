#include <platform/Screens.h>
#include <platform/detail/DrmScreens.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string_view>
#include <system_error>

namespace tessaline::platform {

namespace detail {

namespace {

std::string firstLine(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::string line;
  std::getline(stream, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

// "2560x1440" (possibly followed by a suffix such as "i" for interlaced modes).
std::optional<std::pair<double, double>> parsedMode(std::string_view mode) {
  const auto readNumber = [&mode]() -> std::optional<unsigned long> {
    std::size_t digits = 0;
    while (digits < mode.size() && digits < 9 && mode[digits] >= '0' && mode[digits] <= '9') {
      ++digits;
    }
    if (digits == 0) {
      return std::nullopt;
    }
    const auto value = std::stoul(std::string(mode.substr(0, digits)));
    mode.remove_prefix(digits);
    return value;
  };
  const auto width = readNumber();
  if (!width || mode.empty() || mode.front() != 'x') {
    return std::nullopt;
  }
  mode.remove_prefix(1);
  const auto height = readNumber();
  if (!height || *width == 0 || *height == 0) {
    return std::nullopt;
  }
  return std::pair{static_cast<double>(*width), static_cast<double>(*height)};
}

}  // namespace

std::vector<Screen> drmScreens(const std::filesystem::path& drmClassFolder) {
  std::vector<std::pair<std::string, Screen>> found;
  std::error_code error;
  std::filesystem::directory_iterator entries(drmClassFolder, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const auto folder = entries->path().filename().string();
    const auto dash = folder.find('-');
    // Connectors are "card<N>-<connector>"; "card0", "renderD128" and "version" are not.
    if (folder.rfind("card", 0) != 0 || dash == std::string::npos || dash + 1 == folder.size()) {
      continue;
    }
    if (firstLine(entries->path() / "status") != "connected") {
      continue;
    }
    Screen screen;
    screen.localizedName = folder.substr(dash + 1);
    screen.size = parsedMode(firstLine(entries->path() / "modes"));
    screen.backingScaleFactor = 1;
    found.emplace_back(folder, std::move(screen));
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Screen> screens;
  screens.reserve(found.size());
  for (auto& entry : found) {
    screens.push_back(std::move(entry.second));
  }
  return screens;
}

}  // namespace detail

namespace {

// The few Xlib and XRandR declarations used here, so that the library needs neither the X11
// headers to build nor the X11 libraries to run. The layouts are those of Xrandr.h.
namespace x11 {

struct Display;
using XID = unsigned long;
using Window = XID;
using Time = unsigned long;
using RROutput = XID;
using RRCrtc = XID;
using RRMode = XID;
using Rotation = unsigned short;
using Connection = unsigned short;
using SubpixelOrder = unsigned short;
constexpr Connection kConnected = 0;

struct XRRModeInfo;

struct XRRScreenResources {
  Time timestamp;
  Time configTimestamp;
  int ncrtc;
  RRCrtc* crtcs;
  int noutput;
  RROutput* outputs;
  int nmode;
  XRRModeInfo* modes;
};

struct XRROutputInfo {
  Time timestamp;
  RRCrtc crtc;
  char* name;
  int nameLen;
  unsigned long mm_width;
  unsigned long mm_height;
  Connection connection;
  SubpixelOrder subpixel_order;
  int ncrtc;
  RRCrtc* crtcs;
  int nclone;
  RROutput* clones;
  int nmode;
  int npreferred;
  RRMode* modes;
};

struct XRRCrtcInfo {
  Time timestamp;
  int x, y;
  unsigned int width, height;
  RRMode mode;
  Rotation rotation;
  int noutput;
  RROutput* outputs;
  Rotation rotations;
  int npossible;
  RROutput* possible;
};

}  // namespace x11

// libX11 and libXrandr, opened once and kept for the life of the process.
struct XRandR {
  x11::Display* (*openDisplay)(const char*) = nullptr;
  int (*closeDisplay)(x11::Display*) = nullptr;
  x11::Window (*defaultRootWindow)(x11::Display*) = nullptr;
  int (*queryExtension)(x11::Display*, int*, int*) = nullptr;
  int (*queryVersion)(x11::Display*, int*, int*) = nullptr;
  x11::XRRScreenResources* (*getScreenResources)(x11::Display*, x11::Window) = nullptr;
  x11::XRRScreenResources* (*getScreenResourcesCurrent)(x11::Display*, x11::Window) = nullptr;
  void (*freeScreenResources)(x11::XRRScreenResources*) = nullptr;
  x11::XRROutputInfo* (*getOutputInfo)(x11::Display*, x11::XRRScreenResources*,
                                       x11::RROutput) = nullptr;
  void (*freeOutputInfo)(x11::XRROutputInfo*) = nullptr;
  x11::XRRCrtcInfo* (*getCrtcInfo)(x11::Display*, x11::XRRScreenResources*, x11::RRCrtc) = nullptr;
  void (*freeCrtcInfo)(x11::XRRCrtcInfo*) = nullptr;
  x11::RROutput (*getOutputPrimary)(x11::Display*, x11::Window) = nullptr;

  // Nothing when either library or one of the functions is missing.
  static const XRandR* load() {
    static const XRandR* const loaded = []() -> const XRandR* {
      void* xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
      void* xrandr = xlib != nullptr ? dlopen("libXrandr.so.2", RTLD_NOW | RTLD_LOCAL) : nullptr;
      if (xrandr == nullptr) {
        return nullptr;
      }
      auto* api = new XRandR();  // kept with the libraries, which are never closed
      bool complete = true;
      const auto bind = [&complete](void* library, const char* symbol, auto& function) {
        function =
            reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, symbol));
        complete = complete && function != nullptr;
      };
      bind(xlib, "XOpenDisplay", api->openDisplay);
      bind(xlib, "XCloseDisplay", api->closeDisplay);
      bind(xlib, "XDefaultRootWindow", api->defaultRootWindow);
      bind(xrandr, "XRRQueryExtension", api->queryExtension);
      bind(xrandr, "XRRQueryVersion", api->queryVersion);
      bind(xrandr, "XRRGetScreenResources", api->getScreenResources);
      bind(xrandr, "XRRGetScreenResourcesCurrent", api->getScreenResourcesCurrent);
      bind(xrandr, "XRRFreeScreenResources", api->freeScreenResources);
      bind(xrandr, "XRRGetOutputInfo", api->getOutputInfo);
      bind(xrandr, "XRRFreeOutputInfo", api->freeOutputInfo);
      bind(xrandr, "XRRGetCrtcInfo", api->getCrtcInfo);
      bind(xrandr, "XRRFreeCrtcInfo", api->freeCrtcInfo);
      bind(xrandr, "XRRGetOutputPrimary", api->getOutputPrimary);
      if (!complete) {
        delete api;
        return nullptr;
      }
      return api;
    }();
    return loaded;
  }

  // The active outputs of the display named by DISPLAY, the primary one first; nothing when
  // the display cannot be opened or lacks RandR 1.2.
  std::optional<std::vector<Screen>> screens() const {
    x11::Display* display = openDisplay(nullptr);
    if (display == nullptr) {
      return std::nullopt;
    }
    std::optional<std::vector<Screen>> result;
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (queryExtension(display, &eventBase, &errorBase) != 0 &&
        queryVersion(display, &major, &minor) != 0 && (major > 1 || (major == 1 && minor >= 2))) {
      result = outputs(display, major > 1 || minor >= 3);
    }
    closeDisplay(display);
    return result;
  }

 private:
  std::optional<std::vector<Screen>> outputs(x11::Display* display, bool version13) const {
    const auto root = defaultRootWindow(display);
    auto* resources =
        version13 ? getScreenResourcesCurrent(display, root) : getScreenResources(display, root);
    if (resources == nullptr) {
      return std::nullopt;
    }
    const x11::RROutput primary = version13 ? getOutputPrimary(display, root) : 0;
    std::vector<Screen> screens;
    for (int index = 0; index < resources->noutput; ++index) {
      const auto output = resources->outputs[index];
      auto* info = getOutputInfo(display, resources, output);
      if (info == nullptr) {
        continue;
      }
      // Connected and shown: an output without a CRTC is switched off.
      if (info->connection == x11::kConnected && info->crtc != 0) {
        if (auto* crtc = getCrtcInfo(display, resources, info->crtc)) {
          Screen screen;
          screen.localizedName = std::string(info->name, static_cast<std::size_t>(info->nameLen));
          if (crtc->width > 0 && crtc->height > 0) {
            screen.size =
                std::pair{static_cast<double>(crtc->width), static_cast<double>(crtc->height)};
          }
          screen.backingScaleFactor = 1;
          if (output == primary) {
            screens.insert(screens.begin(), std::move(screen));
          } else {
            screens.push_back(std::move(screen));
          }
          freeCrtcInfo(crtc);
        }
      }
      freeOutputInfo(info);
    }
    freeScreenResources(resources);
    return screens;
  }
};

class DefaultScreenSource final : public ScreenSource {
 public:
  std::vector<Screen> screens() const override {
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
      if (const auto* xrandr = XRandR::load()) {
        if (auto screens = xrandr->screens()) {
          return std::move(*screens);
        }
      }
    }
    return detail::drmScreens("/sys/class/drm");
  }
};

struct Installed {
  std::mutex mutex;
  std::shared_ptr<const ScreenSource> source;
  const std::shared_ptr<const ScreenSource> fallback = std::make_shared<DefaultScreenSource>();
};

Installed& installed() {
  static auto* instance = new Installed();  // never destroyed: read from any thread at any time
  return *instance;
}

}  // namespace

std::shared_ptr<const ScreenSource> ScreenSource::current() {
  auto& state = installed();
  std::lock_guard lock(state.mutex);
  return state.source ? state.source : state.fallback;
}

void ScreenSource::install(std::shared_ptr<const ScreenSource> source) {
  auto& state = installed();
  std::lock_guard lock(state.mutex);
  // The source that was installed is released outside the lock.
  std::swap(state.source, source);
}

}  // namespace tessaline::platform
