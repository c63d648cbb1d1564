// The protocol's figures stand in three languages: the C++ headers, the Wireshark dissector (Lua)
// and hostcheck (bash). Each file is read here and its figures compared with the headers'.

#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fp {
namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The figures a file names, one a line: PREFIX NAME SEPARATOR VALUE, NAME of letters and
// underscores, VALUE a number as C writes it (0x.. hexadecimal), then at most a comment.
std::map<std::string, long long> Figures(const std::string& text, const std::string& prefix,
                                         const std::string& separator) {
  std::map<std::string, long long> figures;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    const std::size_t name_end = line.find(separator, prefix.size());
    if (name_end == std::string::npos) continue;
    const std::string name = line.substr(prefix.size(), name_end - prefix.size());
    if (name.empty() ||
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz") !=
            std::string::npos)
      continue;
    const std::string value = line.substr(name_end + separator.size());
    std::size_t used = 0;
    long long number = 0;
    try {
      number = std::stoll(value, &used, 0);
    } catch (const std::exception&) {
      continue;
    }
    const std::size_t rest = value.find_first_not_of(' ', used);
    if (rest != std::string::npos && value[rest] != '#') continue;
    figures[name] = number;
  }
  return figures;
}

struct Figure {
  const char* what;
  long long value;        // the C++ headers'
  const char* lua;        // its name in nudp.lua, or nullptr
  const char* hostcheck;  // its name in hostcheck, or nullptr
};

TEST(ProtocolConstants, TheDissectorAndHostcheckSayWhatTheHeadersSay) {
  const std::string lua_text = ReadFile(NUDP_LUA_PATH);
  const std::string hostcheck_text = ReadFile(HOSTCHECK_PATH);
  ASSERT_FALSE(lua_text.empty()) << NUDP_LUA_PATH;
  ASSERT_FALSE(hostcheck_text.empty()) << HOSTCHECK_PATH;
  const auto lua = Figures(lua_text, "local ", " = ");
  const auto hostcheck = Figures(hostcheck_text, "readonly ", "=");

  constexpr long long kIpAndUdpHeaders = 20 + 8;
  const Figure figures[] = {
      {"header length", NUDP_HEADER_LENGTH, "HEADER_LENGTH", nullptr},
      {"largest data length", NUDP_MAX_DATA_LENGTH, "MAX_DATA_LENGTH", nullptr},
      {"RAW packet data length", RAW_PACKET_DATA_LENGTH, "RAW_PACKET_DATA_LENGTH", nullptr},
      {"RAW packets per image", RAW_PACKETS_PER_IMAGE, "RAW_PACKETS_PER_IMAGE", nullptr},
      {"image size", RAW_IMAGE_SIZE, "RAW_IMAGE_SIZE", "image_bytes"},
      {"RAW TOP byte", NUDP_RAW_TOP_BYTE, "RAW_TOP_BYTE", nullptr},
      {"TOP of free number bytes", NUDP_TOP_FREE_HIGH, "TOP_FREE_HIGH", nullptr},
      {"TOP of a retransmission", NUDP_TOP_RETRANSMIT, "TOP_RETRANSMIT", nullptr},
      {"transfer finished bit", NUDP_STATUS_FINISHED, "STATUS_FINISHED", nullptr},
      {"identification text offset", NUDP_ID_TEXT_OFFSET, "ID_TEXT_OFFSET", nullptr},
      {"image datagram in IPv4", NUDP_MAX_PACKET_LENGTH + kIpAndUdpHeaders, nullptr,
       "datagram_bytes"},
      {"camera port", NUDP_CAMERA_PORT, nullptr, "camera_port"},
      {"driver port", NUDP_DRIVER_PORT, nullptr, "driver_port"},
      {"watchdog port", NUDP_DRIVER_PORT + 1, nullptr, "watchdog_port"},
      {"receive buffer asked for", NudpSocket::kReceiveBufferRequest, nullptr, "buffer_request"},
  };
  for (const Figure& figure : figures) {
    SCOPED_TRACE(figure.what);
    if (figure.lua != nullptr) {
      ASSERT_EQ(lua.count(figure.lua), 1u) << "nudp.lua has no " << figure.lua;
      EXPECT_EQ(lua.at(figure.lua), figure.value) << "nudp.lua " << figure.lua;
    }
    if (figure.hostcheck != nullptr) {
      ASSERT_EQ(hostcheck.count(figure.hostcheck), 1u) << "hostcheck has no " << figure.hostcheck;
      EXPECT_EQ(hostcheck.at(figure.hostcheck), figure.value) << "hostcheck " << figure.hostcheck;
    }
  }

  // The dissector takes the camera's, the driver's and the watchdog's ports.
  const std::string ports_line = "\nlocal PORTS = {";
  const std::size_t ports_at = lua_text.find(ports_line);
  ASSERT_NE(ports_at, std::string::npos) << "nudp.lua has no PORTS";
  std::string ports = lua_text.substr(ports_at + ports_line.size());
  ports = ports.substr(0, ports.find('}'));
  std::replace(ports.begin(), ports.end(), ',', ' ');
  std::vector<long long> listed;
  std::istringstream list(ports);
  for (long long port; list >> port;) listed.push_back(port);
  for (long long port :
       {static_cast<long long>(NUDP_CAMERA_PORT), static_cast<long long>(NUDP_DRIVER_PORT),
        static_cast<long long>(NUDP_DRIVER_PORT + 1)}) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), port), listed.end())
        << "nudp.lua PORTS lacks " << port;
  }
}

}  // namespace
}  // namespace fp
