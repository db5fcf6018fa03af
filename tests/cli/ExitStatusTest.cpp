// A failure's exit status follows its canonical code, whichever domain made
// it: the statuses README documents for the store, the query and the agent.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>

#include "app/platform/HttpClient.h"
#include "app/platform/PersistentStore.h"
#include "cli/Command.h"

namespace pallix::cli {
namespace {

TEST(ExitStatusTest, StoreErrorsMapByWhatTheyMeanNotByDomain) {
  EXPECT_EQ(exitStatusFor(PersistentStore::error(SQLITE_CORRUPT, "page 3 is corrupt")), kExitUnavailable);
  EXPECT_EQ(exitStatusFor(PersistentStore::error(SQLITE_NOTADB, "not a database")), kExitUnavailable);
  EXPECT_EQ(exitStatusFor(PersistentStore::error(PersistentStore::kNoStoreCode, "no catalog yet")), kExitUnavailable);
  EXPECT_EQ(exitStatusFor(PersistentStore::error(SQLITE_BUSY_SNAPSHOT, "busy")), kExitFailure);
  EXPECT_EQ(exitStatusFor(PersistentStore::error(SQLITE_INTERRUPT, "interrupted")), kExitInterrupted);
  EXPECT_EQ(PersistentStore::error(SQLITE_IOERR_READ, "short read").canonical(), ErrorCode::unavailable);
}

TEST(ExitStatusTest, SystemAndNetworkErrorsAndContextKeepTheirCanonicalCode) {
  EXPECT_EQ(Error::fromErrno("open x", ENOENT).canonical(), ErrorCode::notFound);
  EXPECT_EQ(Error::fromErrno("open x", EACCES).canonical(), ErrorCode::permission);
  EXPECT_EQ(Error::fromErrno("lock x", EAGAIN).canonical(), ErrorCode::busy);
  EXPECT_EQ(Error::fromErrno("read x", 9999).canonical(), ErrorCode::internal);
  EXPECT_EQ(Error::fromErrno("open x", ENOENT).withContext("reading the list").canonical(), ErrorCode::notFound);
  EXPECT_EQ(exitStatusFor(httpError(HttpErrorCode::invalidURL, "bad")), kExitUsage);
  EXPECT_EQ(exitStatusFor(httpError(HttpErrorCode::timedOut, "slow")), kExitUnavailable);
  EXPECT_TRUE(isHttpCancellation(httpError(HttpErrorCode::cancelled, "stopped")));
  EXPECT_EQ(exitStatusFor(Error::make("unexpected")), kExitFailure);
  EXPECT_STREQ(errorCodeName(ErrorCode::invalidArgument), "invalid argument");
}

}  // namespace
}  // namespace pallix::cli
