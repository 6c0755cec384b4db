// How much memory the transport takes: for a reply it refuses, and to upload and download a file
// far larger than any of its buffers. Every allocation made on the test's thread, where the
// client runs, is counted (the loopback server's thread is not), so the figure is the client's
// own peak, independent of the machine's speed.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "quellin/client.hpp"
#include "quellin/quellin.hpp"
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
using tavrin::testing::ok_json;
using tavrin::testing::Reply;

constexpr std::size_t kBody = std::size_t{8} << 20;

struct Outcome {
  std::string error;     // what() of the ValueError, empty when none was thrown
  std::size_t peak = 0;  // bytes the call had allocated at most, on top of what was live before
};

// Sends one request to a server that answers `body` with status 200, counting the client's
// allocations from before the call is started until it has ended.
Outcome call_counting(const std::string& body) {
  LoopbackServer server([reply = ok_json(body)](const std::string&) { return Reply{reply}; });
  const std::string url = server.url();
  Outcome outcome;
  {
    asio::io_context context;
    t_counting = true;
    const std::size_t before = g_live;
    g_peak = before;
    asio::co_spawn(context, quellin::async_call_api(url, Json::object(), Json::object()),
                   [&](std::exception_ptr failure, Json) {
                     try {
                       if (failure) std::rethrow_exception(failure);
                     } catch (const quellin::ValueError& e) {
                       outcome.error = e.what();
                     } catch (...) {
                       outcome.error = "not a ValueError";
                     }
                   });
    context.run();
    outcome.peak = g_peak - before;
    t_counting = false;
  }
  return outcome;
}

std::string repeated(std::string_view piece, std::size_t bytes) {
  std::string out;
  out.reserve(bytes + piece.size());
  while (out.size() < bytes) out += piece;
  return out;
}

// A body of nested brackets used to become a tree of some forty times its size before the
// parser found it unterminated; it is refused at the 1001st level, having cost its bytes.
TEST(ReplyMemory, NestedBracketsAreRefusedAtTheDepthLimitWithinTheBodySize) {
  for (const std::string piece : {"[", "{\"a\":"}) {
    SCOPED_TRACE(piece);
    const Outcome outcome = call_counting(repeated(piece, kBody));
    EXPECT_EQ(outcome.error,
              "reply of status 200 nests arrays and objects deeper than 1000 levels");
    EXPECT_LT(outcome.peak, kBody + kBody / 4);
  }
}

// Wide bodies refused only at their last byte: nothing is built on the way there.
TEST(ReplyMemory, WideBodiesRefusedAtTheEndCostTheBodySize) {
  const std::string unterminated = "[" + repeated("[],{},0,", kBody);
  const std::string trailing_garbage = "[" + repeated("[1,{\"k\":null}],", kBody) + "0] x";
  for (const std::string* body : {&unterminated, &trailing_garbage}) {
    const Outcome outcome = call_counting(*body);
    EXPECT_EQ(outcome.error.rfind("reply of status 200 is not JSON: \"[", 0), 0u) << outcome.error;
    EXPECT_LT(outcome.peak, body->size() + body->size() / 4);
  }
}

// The costliest body is one long token that turns out bad: the JSON library keeps the token
// twice while reading it (decoded, and raw for its messages) and quotes it whole in its error.
TEST(ReplyMemory, OneLongUnterminatedStringStaysWithinTwelveTimesTheBodySize) {
  const std::string body = "[\"" + std::string(kBody, 'a');
  const Outcome outcome = call_counting(body);
  EXPECT_EQ(outcome.error.rfind("reply of status 200 is not JSON: \"[\"aaa", 0), 0u)
      << outcome.error;
  EXPECT_LT(outcome.peak, 12 * body.size());
}

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
