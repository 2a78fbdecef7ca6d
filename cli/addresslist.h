#pragma once
// Lists of device addresses as the options take them and scan prints them.

#include <string>
#include <vector>

namespace kv::cli {

// Parses "1-247", "1-5,37": addresses 1..247 in ascending order without repeats;
// empty on a malformed list.
[[nodiscard]] std::vector<int> parseAddressList(const std::string& text);
// The list back in the form parseAddressList takes, runs of three or more as ranges:
// {1,2,3,4,37} is "1-4,37".
[[nodiscard]] std::string formatAddressList(const std::vector<int>& sorted);

} // namespace kv::cli
