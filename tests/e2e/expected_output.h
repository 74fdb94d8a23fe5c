// What the program prints for a set of ports found, on either platform.
#pragma once

#include <string>
#include <vector>

namespace e2e {

inline const std::string kPrompt = "Appuyez sur Entr\xe9" "e\r\n";

// The port lines, then the three report lines, each ended by CR LF.
inline std::string Expected(const std::vector<std::string>& found) {
  std::string lines, list;
  for (const auto& f : found) {
    lines += f + "\r\n";
    list += "|" + f;
  }
  return lines + "total : " + list + "\r\n" + "dernier port : " +
         (found.empty() ? "" : found.back()) + "\r\n" + kPrompt;
}

}  // namespace e2e
