#include "tavrin/labeling/chat_model.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace tavrin::labeling {
namespace {

TEST(ConnectionLimit, LeavesDescriptorsForFilesAndKeepsOne) {
  EXPECT_EQ(connection_limit(1000, 256), 192u);
  EXPECT_EQ(connection_limit(193, 256), 192u);
  EXPECT_EQ(connection_limit(192, 256), 192u);
  EXPECT_EQ(connection_limit(16, 1024), 16u);
  EXPECT_EQ(connection_limit(16, 65), 1u);
  EXPECT_EQ(connection_limit(16, 64), 1u);
  EXPECT_EQ(connection_limit(16, 0), 1u);
  EXPECT_EQ(connection_limit(16, RLIM_INFINITY), 16u);
}

TEST(ConnectionLimit, FollowsTheSoftLimitOfTheProcess) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const std::size_t under_lowered = connection_limit(1000);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(under_lowered, 36u);
}

}  // namespace
}  // namespace tavrin::labeling
