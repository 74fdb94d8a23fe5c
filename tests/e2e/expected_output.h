// What the program prints for a set of ports found, on either platform.
#pragma once

#include <string>
#include <vector>

namespace e2e {

inline const std::string kPrompt = "Appuyez sur Entr\xe9" "e\r\n";
// The same prompt as a terminal whose locale is UTF-8 shows it.
inline const std::string kPromptUtf8 = "Appuyez sur Entr\xc3\xa9" "e\r\n";

// The port lines, then the three report lines, each ended by CR LF.
inline std::string Expected(const std::vector<std::string>& found,
                            const std::string& prompt = kPrompt) {
  std::string lines, list;
  for (const auto& f : found) {
    lines += f + "\r\n";
    list += "|" + f;
  }
  return lines + "total : " + list + "\r\n" + "dernier port : " +
         (found.empty() ? "" : found.back()) + "\r\n" + prompt;
}

}  // namespace e2e
