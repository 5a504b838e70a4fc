#include <platform/FileSystem.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace tessaline::platform {

std::optional<FileSystem::Time> FileSystem::creationDate(const std::string& path) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &info) != 0 ||
      (info.stx_mask & STATX_BTIME) == 0) {
    return std::nullopt;
  }
  const auto sinceEpoch = std::chrono::seconds(info.stx_btime.tv_sec) +
                          std::chrono::nanoseconds(info.stx_btime.tv_nsec);
  return Time(std::chrono::duration_cast<Time::duration>(sinceEpoch));
}

}  // namespace tessaline::platform
