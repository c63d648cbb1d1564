// The protocol's figures stand in three languages: the C++ headers, the Wireshark dissector (Lua)
// and hostcheck (bash). Each file is read here and its figures compared with the headers'.

#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
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

// The lines of a file that give a figure a name (the pattern's two groups), values read as C
// reads them (0x.. is hexadecimal).
std::map<std::string, long long> Figures(const std::string& text, const std::regex& pattern) {
  std::map<std::string, long long> figures;
  std::istringstream lines(text);
  std::smatch found;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, found, pattern))
      figures[found[1]] = std::stoll(found[2], nullptr, 0);
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
  const auto lua = Figures(lua_text, std::regex(R"(local ([A-Z_]+) = (0x[0-9A-Fa-f]+|[0-9]+))"));
  const auto hostcheck = Figures(hostcheck_text, std::regex(R"(readonly ([a-z_]+)=([0-9]+)\b.*)"));

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
  std::smatch ports;
  ASSERT_TRUE(std::regex_search(lua_text, ports, std::regex(R"(\nlocal PORTS = \{([0-9, ]+)\})")));
  std::vector<long long> listed;
  std::istringstream list(std::regex_replace(ports[1].str(), std::regex(","), " "));
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
