// The retry policy's decisions after failed runs, and the outcome value callers get: no
// driver, no server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/RetryPolicy.h"
#include "db/SqlOutcome.h"

namespace tarn::test {
namespace {

using TKind = TSqlOutcome::TKind;
using TStep = TRetryPolicy::TStep;

// One failed run and what the policy must answer.
struct FailedRun {
  TKind failure;
  bool sent;
  bool guarded;
  TStep step;
  int pauseMs = 0;  // checked for Repeat
};

struct Scenario {
  const char* name;
  TRepeatKind kind;
  bool replay;
  std::vector<FailedRun> runs;
};

std::vector<FailedRun> ConflictsUpToTheBound(bool guarded) {
  std::vector<FailedRun> runs;
  for (int n = 1; n < TRetryPolicy::kConflictAttempts; ++n)
    runs.push_back({TKind::Conflict, true, guarded, TStep::Repeat, n * TRetryPolicy::kConflictPauseMs});
  runs.push_back({TKind::Conflict, true, guarded, TStep::GiveUp});
  return runs;
}

TEST(RetryPolicy, StepsAfterFailedRuns) {
  const Scenario scenarios[] = {
      {"a read meeting conflicts: repeated with growing pauses, the eighth is given up", TRepeatKind::Harmless, false,
       ConflictsUpToTheBound(false)},
      {"a guarded write meeting conflicts: the same", TRepeatKind::Once, false, ConflictsUpToTheBound(true)},
      {"a kept write being settled still repeats conflicts", TRepeatKind::Once, true, ConflictsUpToTheBound(true)},
      {"any other failure is reported at once", TRepeatKind::Harmless, false,
       {{TKind::Failed, true, false, TStep::Report}}},
      {"a read whose link is lost: two new connections, then the loss is reported", TRepeatKind::Harmless, false,
       {{TKind::LinkLost, true, false, TStep::Reconnect},
        {TKind::LinkLost, true, false, TStep::Reconnect},
        {TKind::LinkLost, true, false, TStep::Report}}},
      {"an unguarded write that must not run twice is never repeated after a loss", TRepeatKind::Once, false,
       {{TKind::LinkLost, true, false, TStep::NotRepeated}}},
      {"a guarded write: two new connections, then it is kept", TRepeatKind::Once, false,
       {{TKind::LinkLost, true, true, TStep::Reconnect},
        {TKind::LinkLost, true, true, TStep::Reconnect},
        {TKind::LinkLost, true, true, TStep::Keep}}},
      {"a write whose link was found lost before it was sent may run on the new connection", TRepeatKind::Once, false,
       {{TKind::LinkLost, false, false, TStep::Reconnect},
        {TKind::LinkLost, true, true, TStep::Reconnect},
        {TKind::LinkLost, false, false, TStep::Report}}},
      {"a kept write being settled is never taken to another connection", TRepeatKind::Once, true,
       {{TKind::LinkLost, true, true, TStep::Report}}},
      {"conflicts and lost links are counted apart", TRepeatKind::Harmless, false,
       {{TKind::Conflict, true, false, TStep::Repeat, 5},
        {TKind::LinkLost, true, false, TStep::Reconnect},
        {TKind::Conflict, true, false, TStep::Repeat, 10},
        {TKind::LinkLost, true, false, TStep::Reconnect},
        {TKind::Failed, true, false, TStep::Report}}},
  };
  for (const Scenario& s : scenarios) {
    TRetryPolicy policy(s.kind, s.replay);
    for (size_t i = 0; i < s.runs.size(); ++i) {
      const FailedRun& r = s.runs[i];
      EXPECT_EQ(policy.AfterFailure(r.failure, r.sent, r.guarded), r.step) << s.name << ", run " << i + 1;
      if (r.step == TStep::Repeat) {
        EXPECT_EQ(policy.PauseMs(), r.pauseMs) << s.name << ", run " << i + 1;
      }
    }
  }
}

TEST(RetryPolicy, AFailedReconnectKeepsOnlyAGuardedWriteThatIsNotBeingSettled) {
  const struct {
    TRepeatKind kind;
    bool replay;
    bool guarded;
    TStep step;
  } cases[] = {
      {TRepeatKind::Once, false, true, TStep::Keep},
      {TRepeatKind::Once, true, true, TStep::Report},
      {TRepeatKind::Once, false, false, TStep::Report},  // found lost before it was sent
      {TRepeatKind::Harmless, false, false, TStep::Report},
  };
  for (const auto& c : cases) {
    const TRetryPolicy policy(c.kind, c.replay);
    EXPECT_EQ(policy.AfterReconnectFailed(c.guarded), c.step) << c.replay << c.guarded;
  }
}

TEST(RetryPolicy, FailureKindsFromTheFirstRecord) {
  const struct {
    TDiagRecord diag;
    bool mysql;
    TKind kind;
  } cases[] = {
      {{"40001", 0, "serialization failure"}, false, TKind::Conflict},
      {{"HY000", 1213, "Deadlock found"}, true, TKind::Conflict},
      {{"HY000", 1213, "Deadlock found"}, false, TKind::Failed},
      {{"08S01", 1213, "a conflict reported on a broken link"}, true, TKind::Conflict},
      {{"08S01", 0, "Communication link failure"}, false, TKind::LinkLost},
      {{"HY000", 2006, "MySQL server has gone away"}, true, TKind::LinkLost},
      {{"HY000", 1205, "Lock wait timeout exceeded"}, true, TKind::Failed},
      {{}, true, TKind::Failed},  // a failure the driver said nothing about
  };
  for (const auto& c : cases)
    EXPECT_EQ(FailureKindOf(c.diag, c.mysql), c.kind) << c.diag.ToString() << " mysql " << c.mysql;
}

TEST(SqlOutcome, KindsRecordsAndText) {
  const std::vector<TDiagRecord> lost = {{"08S01", 2013, "Lost connection to server during query"},
                                         {"01000", 0, "note"}};
  const struct {
    TSqlOutcome outcome;
    bool ok;
    const char* text;
  } cases[] = {
      {TSqlOutcome(), true, "done"},
      {TSqlOutcome::Row(), true, "row"},
      {TSqlOutcome::NoRow(), true, "no row"},
      {TSqlOutcome::AppliedEarlier(), true, "applied earlier"},
      {TSqlOutcome::Conflict(), false, "conflict"},
      {TSqlOutcome::Failed({{"42S02", 1146, "Table 't' doesn't exist"}}), false,
       "failed: 42S02 (native 1146): Table 't' doesn't exist"},
      {TSqlOutcome::LinkLost(lost), false,
       "link lost: 08S01 (native 2013): Lost connection to server during query; 01000 (native 0): note"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.outcome.ok(), c.ok) << c.text;
    EXPECT_EQ(c.outcome.ToString(), c.text);
    EXPECT_EQ(c.outcome.diag().Empty(), c.outcome.records().empty()) << c.text;
  }
  EXPECT_EQ(TSqlOutcome::LinkLost(lost).diag().native, 2013);
  EXPECT_EQ(TSqlOutcome::LinkLost(lost).diag().LogText(), "Lost connection to server during query. State:  08S01");
}

}  // namespace
}  // namespace tarn::test
