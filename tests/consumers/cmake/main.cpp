// Uses the C++ interface of an installed hdx.
#include <hdx.hpp>

#include <cstdio>
#include <string>

int main() {
  std::string field = "Received: from a (b [192.0.2.1]) by c\r\n";
  const auto ip = hdx::sender_ip_in_place(field);
  const auto path = hdx::path_address("RCPT TO:<bob@example.net>");
  if (!ip || !path) return 1;
  std::printf("%.*s %s\n", static_cast<int>(ip->size()), ip->data(), path->c_str());
  return *ip == "192.0.2.1" && *path == "bob@example.net" ? 0 : 1;
}
