// Path rules written once against a path style. The POSIX style uses "/" and
// counts a path as absolute when it starts with "/"; the Windows style uses
// "\" and counts ":\" at the second and third characters as absolute. The
// host style is the one of the system the program runs on.
#pragma once

#include <string>
#include <string_view>

namespace pithorama {

struct PathStyle {
  char delimiter;
  // Characters after which a file name starts (the delimiter, and ":" for drives).
  std::string_view nameSeparators;
  bool (*isAbsolute)(std::string_view path);
  // The drive put in front of a name that has none ("C:", the drive of the
  // system folder); empty where paths have no drive letters.
  std::string_view systemDrive = {};
};

const PathStyle& HostPathStyle();
const PathStyle& WindowsPathStyle();
const PathStyle& PosixPathStyle();

// The folder part of a path including its final delimiter ("" when none).
std::string ExtractFilePath(std::string_view path, const PathStyle& style = HostPathStyle());
// The part after the last delimiter.
std::string ExtractFileName(std::string_view path, const PathStyle& style = HostPathStyle());

}  // namespace pithorama
