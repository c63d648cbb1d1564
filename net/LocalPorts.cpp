#include "net/LocalPorts.h"

#include "net/SocketOps.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace fp {

namespace {

// 0 when a UDP socket binds to ip:port, else the errno of the bind (its own text is what a
// person reads, not the layer's code).
int BindError(const std::string& ip, int port) {
  const int fd = sockets::CreateSocket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return errno;
  in_addr address{};
  inet_pton(AF_INET, ip.c_str(), &address);
  const int result = sockets::BindIPv4(fd, address.s_addr, static_cast<std::uint16_t>(port));
  const int error = result == 0 ? 0 : errno;
  sockets::Close(fd);
  return error;
}

std::string InterfaceAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "";
  std::string out;
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    sockaddr_in in{};
    std::memcpy(&in, a->ifa_addr, sizeof in);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    out += (out.empty() ? "" : ", ") + std::string(text) + " (" + a->ifa_name + ")";
  }
  freeifaddrs(list);
  return out;
}

// The inodes of the UDP sockets bound to port `port` on `ip` or on every address, from the
// kernel's table (addresses as the kernel holds them in memory, printed as hexadecimal words).
std::vector<std::string> SocketInodes(const std::string& ip, int port) {
  in_addr address{};
  inet_pton(AF_INET, ip.c_str(), &address);
  char exact[16];
  std::snprintf(exact, sizeof exact, "%08X:%04X", address.s_addr, static_cast<unsigned>(port));
  char any[16];
  std::snprintf(any, sizeof any, "%08X:%04X", 0u, static_cast<unsigned>(port));
  std::vector<std::string> inodes;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (local == exact || local == any) inodes.push_back(inode);
  }
  return inodes;
}

// "NAME (pid N)" of the process holding a socket of `inodes`, or empty when none is visible.
std::string Holder(const std::vector<std::string>& inodes) {
  if (inodes.empty()) return "";
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return "";
  std::string found;
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string fd_dir = "/proc/" + pid + "/fd";
    DIR* fds = opendir(fd_dir.c_str());
    if (fds == nullptr) continue;
    while (const dirent* fd = readdir(fds)) {
      char target[64] = {};
      const std::string link = fd_dir + "/" + fd->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
      for (const std::string& inode : inodes) {
        if (std::string(target) == "socket:[" + inode + "]") {
          std::string name;
          std::ifstream(("/proc/" + pid + "/comm").c_str()) >> name;
          found = name + " (pid " + pid + ")";
        }
      }
      if (!found.empty()) break;
    }
    closedir(fds);
    if (!found.empty()) break;
  }
  closedir(proc);
  return found;
}

}  // namespace

std::string LocalAddressProblem(const std::string& ip) {
  const int error = BindError(ip, 0);
  if (error == 0) return "";
  std::string why = ip + " is not an address of this machine (" + std::strerror(error) + ")";
  const std::string addresses = InterfaceAddresses();
  if (!addresses.empty()) why += "; its interfaces have " + addresses;
  return why;
}

std::vector<std::string> TakenPorts(const std::string& ip, const std::vector<int>& ports) {
  std::vector<std::string> lines;
  for (const int port : ports) {
    if (BindError(ip, port) != EADDRINUSE) continue;
    const std::string holder = Holder(SocketInodes(ip, port));
    lines.push_back("UDP " + ip + ":" + std::to_string(port) + " is taken" +
                    (holder.empty() ? std::string() : " by " + holder));
  }
  return lines;
}

}  // namespace fp
