// What the dashboard reads from reports and the store: the list's filters (on the environment
// facts too), search and pages, CSV cells, and the login throttle.

#include "ReportExport.h"
#include "Store.h"
#include "TextChecks.h"
#include "dashboard/LoginThrottle.h"

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>

namespace tessaline::server {
namespace {

using namespace std::string_literals;
constexpr std::int64_t kDay = 86'400'000;

TEST(DashboardTextTest, CsvCellsNeverStartAFormula) {
  for (const std::string formula : {"=1+2", "+1", "-1", "@SUM(A1)", "\tx"}) {
    EXPECT_EQ(csvField(formula), "\"'" + formula + "\"");
  }
  for (const std::string text : {"plain", "a=b"}) {
    EXPECT_EQ(csvField(text), "\"" + text + "\"");
  }
  EXPECT_EQ(csvField("say \"hi\""), "\"say \"\"hi\"\"\"");
}

TEST(DashboardStoreTest, FiveFailuresBlockTheAccountAndTheAddressUntilASuccess) {
  tessaline::testing::TemporaryDirectory folder;
  auto store = Store::open(tessaline::testing::storeLocation(folder.path()), Store::Mode::service);
  LoginThrottle throttle(*store.value(), 5, std::chrono::minutes(15));
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(throttle.allowed("ann", "10.0.0.1").value());
    ASSERT_TRUE(throttle.failed("ann", "10.0.0.1"));
  }
  EXPECT_FALSE(throttle.allowed("ann", "10.0.0.2").value());  // the account, from anywhere
  EXPECT_FALSE(throttle.allowed("bob", "10.0.0.1").value());  // the address, for any account
  EXPECT_TRUE(throttle.allowed("bob", "10.0.0.2").value());
  ASSERT_TRUE(throttle.succeeded("ann", "10.0.0.1"));
  EXPECT_TRUE(throttle.allowed("ann", "10.0.0.1").value());
}

TEST(DashboardStoreTest, FiltersSearchAndPagesFindTheRightReports) {
  tessaline::testing::TemporaryDirectory folder;
  Result<std::unique_ptr<Store>> opened =
      Store::open(tessaline::testing::storeLocation(folder.path() / "data"), Store::Mode::service);
  ASSERT_TRUE(opened);
  Store& store = *opened.value();
  std::vector<NewReport> reports;
  for (int i = 0; i < 5; ++i) {
    NewReport report;
    report.localId = "L" + std::to_string(i);
    report.reasonId = 1 + i % 2;
    report.subject = i == 3 ? "Crash \"quoted\" NEAR(x" : "Report " + std::to_string(i);
    // Typed text that imitates the environment summary does not count; the appended one does.
    report.messages = {(i == 2 ? "Operating System: X\nApplication Version: 9 (9)\n"s : ""s) +
                       "Body " + std::to_string(i) + "\n\nOperating System: OS" +
                       std::to_string(i % 2) + "\nApplication Version: 2." + std::to_string(i) +
                       " (" + std::to_string(300 + i) + ")"};
    report.email = "user" + std::to_string(i) + "@example.com";
    report.receivedMs = kDay * (i + 1);
    reports.push_back(report);
  }
  ASSERT_TRUE(store.importReports(reports));

  using List = std::vector<std::string>;
  auto subjects = [&](const std::function<void(ReportFilter&)>& set) {
    ReportFilter filter;
    set(filter);
    Result<ReportPage> page = store.findReports(filter);
    EXPECT_TRUE(page);
    List found;
    std::ranges::transform(page->rows, std::back_inserter(found), &ReportRow::subject);
    EXPECT_EQ(page->count, static_cast<std::int64_t>(found.size()));
    return found;
  };
  auto all = [](ReportFilter&) {};
  EXPECT_EQ(subjects(all),
            (List{"Report 4", "Crash \"quoted\" NEAR(x", "Report 2", "Report 1", "Report 0"}));
  EXPECT_EQ(subjects([](ReportFilter& f) { f.reasonId = 2; }),
            (List{"Crash \"quoted\" NEAR(x", "Report 1"}));
  EXPECT_EQ(subjects([](ReportFilter& f) { f.appVersion = "2.2", f.appBuild = 302; }),
            List{"Report 2"});
  EXPECT_EQ(subjects([](ReportFilter& f) {
              f.operatingSystem = "OS1", f.fromMs = 2 * kDay, f.toMs = 4 * kDay;
            }),
            List{"Report 1"});
  // Search words are words, never query syntax.
  EXPECT_EQ(subjects([](ReportFilter& f) { f.search = "\"quoted\" NEAR(x"; }),
            List{"Crash \"quoted\" NEAR(x"});
  EXPECT_EQ(subjects([](ReportFilter& f) { f.search = "body user2@example.com"; }),
            List{"Report 2"});
  EXPECT_EQ(subjects([](ReportFilter& f) { f.reasonId = 1, f.search = "body"; }),
            (List{"Report 4", "Report 2", "Report 0"}));

  // Pages of two walk every report once; triage shows in the filters.
  List walked;
  ReportFilter filter;
  filter.limit = 2;
  for (int pages = 0; pages < 5 && (pages == 0 || filter.after); ++pages) {
    Result<ReportPage> page = store.findReports(filter);
    ASSERT_TRUE(page);
    std::ranges::transform(page->rows, std::back_inserter(walked), &ReportRow::subject);
    filter.after = page->next;
  }
  EXPECT_EQ(walked, subjects(all));
  const std::string id = store.findReports(ReportFilter{})->rows.at(3).id;  // Report 1
  EXPECT_TRUE(store.setStatus(id, "closed").value());
  EXPECT_FALSE(store.setStatus("no such id", "closed").value());
  EXPECT_EQ(subjects([](ReportFilter& f) { f.status = "closed"; }), List{"Report 1"});

  // Accounts and sessions; a removed account's sessions end with it.
  EXPECT_TRUE(store.addUser("ann", "hash").value());
  EXPECT_FALSE(store.addUser("ann", "other").value());
  EXPECT_EQ(store.passwordHash("ann").value(), "hash");
  ASSERT_TRUE(store.addSession("token", {"ann", "csrf", Store::nowMs() + 60000}));
  ASSERT_TRUE(store.addSession("old", {"ann", "csrf", Store::nowMs() - 1}));
  EXPECT_EQ(store.session("token").value()->csrfToken, "csrf");
  EXPECT_FALSE(store.session("old").value());
  EXPECT_TRUE(store.removeUser("ann").value());
  EXPECT_FALSE(store.session("token").value());
  EXPECT_TRUE(store.users().value().empty());
}

}  // namespace
}  // namespace tessaline::server
