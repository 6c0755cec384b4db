// How much memory the client takes to upload and to download a file far larger than any of its
// buffers. Every allocation made on the test's thread, where the client runs, is counted (the
// loopback server's thread is not), so the figure is the client's own peak, independent of
// the machine's speed.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "quellin/client.hpp"
#include "tests/support/loopback_server.hpp"
#include "tests/support/run_awaitable.hpp"
#include "tests/support/test_helpers.hpp"
#include "tests/support/transfer_files.hpp"

namespace {

// Each block carries whether it was counted, so that a block allocated on one thread and
// freed on another keeps the books straight.
struct alignas(std::max_align_t) BlockHeader {
  std::size_t size;
  bool counted;
};

thread_local bool t_counting = false;
std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

void* allocate(std::size_t size) {
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (header == nullptr) throw std::bad_alloc();
  header->size = size;
  header->counted = t_counting;
  if (header->counted) {
    const std::size_t live = g_live += size;
    std::size_t peak = g_peak;
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
  }
  return header + 1;
}

void release(void* block) noexcept {
  if (block == nullptr) return;
  auto* header = static_cast<BlockHeader*>(block) - 1;
  if (header->counted) g_live -= header->size;
  std::free(header);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }

namespace {

namespace asio = boost::asio;
using Json = nlohmann::ordered_json;
using tavrin::testing::LoopbackServer;
using tavrin::testing::Reply;

constexpr std::size_t kFile = std::size_t{64} << 20;
// Far below the file: a few pieces of the reader and of the socket, never the file.
constexpr std::size_t kBound = std::size_t{1} << 20;

// Runs `op` on a client of its own, counting the allocations of the test's thread from before
// the client is made until it is gone; yields what `op` yields and the peak in bytes.
template <class T, class Op>
std::pair<T, std::size_t> counting(Op op) {
  t_counting = true;
  const std::size_t before = g_live;
  g_peak = before;
  std::optional<T> value;
  {
    asio::io_context context;
    quellin::Client client(context.get_executor());
    value = tavrin::testing::run(context, op(client));
  }
  const std::size_t peak = g_peak - before;
  t_counting = false;
  return {std::move(*value), peak};
}

TEST(TransferMemory, A64MiBUploadNeverHoldsTheFile) {
  tavrin::testing::TempDir dir;
  const std::string path = dir / "input.jsonl";
  tavrin::testing::write_pattern(path, kFile, 21);
  LoopbackServer server(
      [](const std::string&) { return Reply{tavrin::testing::ok_json(R"({"id":"file-1"})")}; });
  const auto [reply, peak] = counting<Json>([&](quellin::Client& client) {
    return client.upload(server.url("/v1/files"), Json::object(),
                         {.fields = {{"purpose", "batch"}}, .path = path});
  });
  std::cout << "upload of " << kFile << " bytes: client peak " << peak << " bytes\n";
  EXPECT_EQ(reply["id"], "file-1");
  EXPECT_LT(peak, kBound);
  const auto form = tavrin::testing::parse_multipart(server.requests().at(0));
  ASSERT_EQ(form.parts.size(), 2u);
  EXPECT_EQ(form.parts[0].body, "batch");
  EXPECT_TRUE(form.parts[1].body == tavrin::testing::file_contents(path))
      << "the file part differs from the file";
}

TEST(TransferMemory, A64MiBDownloadNeverHoldsTheBody) {
  tavrin::testing::TempDir dir;
  const std::string source = dir / "served";
  tavrin::testing::write_pattern(source, kFile, 22);
  LoopbackServer server([&](const std::string&) {
    return Reply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kFile) + "\r\n\r\n",
                 Reply::Then::kClose, source};
  });
  const std::string to = dir / "output.jsonl";
  const auto [written, peak] = counting<std::uint64_t>([&](quellin::Client& client) {
    return client.download(server.url("/v1/files/file-1/content"), Json::object(), to);
  });
  std::cout << "download of " << kFile << " bytes: client peak " << peak << " bytes\n";
  EXPECT_EQ(written, kFile);
  EXPECT_LT(peak, kBound);
  EXPECT_TRUE(tavrin::testing::same_bytes(source, to));
  EXPECT_EQ(tavrin::testing::names_in(dir.path()),
            (std::vector<std::string>{"output.jsonl", "served"}));
}

}  // namespace
