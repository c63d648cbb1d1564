// The live page's server as framegrab sets it up, on 127.0.89.1:8080, fed one connection per
// input: the input as sent by a client, then an empty line (so that most inputs end their
// header block and get an answer) and the end of the client's sending. The run behind it has
// records in two chunks and a preview. An answer 200 needs a Host naming the port, and the
// server must go on answering.

#include "nudp/NudpProtocol.h"

#include "framegrab/model/RunRecords.h"
#include "framegrab/serve/LiveServer.h"
#include "framegrab/write/PreviewWorker.h"
#include "tests/support/HttpClient.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr const char* kAddress = "127.0.89.1";
constexpr int kPort = 8080;

struct Page {
  Page() {
    fp::RunFacts facts;
    facts.local = "127.0.89.2";
    facts.camera = "127.0.89.3:1234";
    facts.requested_images = 400;
    facts.opened = true;
    records.Begin(facts);
    for (int n = 1; n <= 300; ++n) {
      fp::ImageRecord r;
      r.number = n;
      r.complete = n % 50 != 0;
      r.stream_packets = fp::RAW_PACKETS_PER_IMAGE - n % 3;
      r.missing_packets = n % 3;
      r.image_ms = 70 + n % 11;
      r.ended_after_ms = n * 75.0;
      records.Add(r);
    }
    auto image = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[fp::RAW_IMAGE_SIZE]());
    for (std::size_t i = 0; i < fp::RAW_IMAGE_SIZE; ++i)
      image.get()[i] = static_cast<std::uint8_t>(i);
    preview.Finish(image, 300);
    std::string error;
    if (!server.Start(kAddress, kPort, error)) {
      std::fprintf(stderr, "live page fuzz: cannot listen on %s:%d: %s\n", kAddress, kPort,
                   error.c_str());
      std::abort();
    }
  }
  fp::RunRecords records;
  fp::PreviewWorker preview{2048};
  fp::LiveServer server{records, preview};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Page page;
  fp::test::HttpConnection client(kAddress, kPort);
  if (!client.Connected()) __builtin_trap();
  // The server may close the connection before it has taken everything; that is its right.
  client.Send(std::string(reinterpret_cast<const char*>(data), size) + "\r\n\r\n");
  shutdown(client.Fd(), SHUT_WR);
  // Until the server closes, or stays silent for 10 ms (an event stream, a request it waits
  // to see the end of).
  for (std::size_t seen = 0; client.Read(std::chrono::milliseconds(10));) {
    if (client.Buffered().size() == seen) break;
    seen = client.Buffered().size();
  }
  const std::string& answer = client.Buffered();
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (answer.compare(0, 12, "HTTP/1.1 200") == 0 && input.find(":8080") == std::string::npos) {
    __builtin_trap();
  }
  // Whatever came before, the page is answered.
  static int inputs = 0;
  if (++inputs % 64 == 0 && fp::test::HttpGet(kAddress, kPort, "/stats.json").status != 200) {
    __builtin_trap();
  }
  return 0;
}
