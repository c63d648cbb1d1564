#include <cstdio>

int main(int argc, char** argv) {
  (void)argv;
  if (argc != 3) {
    std::printf("usage: frameprobe local_ip remote_ip\n\n");
    return 0;
  }
  return 0;
}
