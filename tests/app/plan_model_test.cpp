#include "app/plan_model.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <functional>
#include <memory>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/path.h"

namespace tandrel {
namespace {

PlanRow Copy(const std::string& source) { return {source, " could be copied to", "/two/", false}; }

TEST(PlanModel, KeepsRowsInOrderAndPassesTheModelTester) {
  PlanModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  model.Append({Copy("/one/a"), Copy("/one/b")});
  model.Append({Copy("/one/c")});
  model.SetAllChecked(true);
  model.SetChecked(2, false);
  model.SetAction(1, "Done");
  ASSERT_EQ(model.Count(), 3);
  EXPECT_EQ(model.rowCount(), 3);
  EXPECT_EQ(model.columnCount(), 3);
  EXPECT_EQ(model.Row(1), (PlanRow{"/one/a", "Done", "/two/", true}));
  EXPECT_EQ(model.Row(2), (PlanRow{"/one/b", " could be copied to", "/two/", false}));
  EXPECT_EQ(model.Row(3).source, "/one/c");
  EXPECT_EQ(model.data(model.index(0, 1)).toString(), QStringLiteral("Done"));
  EXPECT_EQ(model.data(model.index(1, 0), Qt::CheckStateRole).value<Qt::CheckState>(),
            Qt::Unchecked);
  EXPECT_FALSE(model.data(model.index(1, 1), Qt::CheckStateRole).isValid());
  model.Clear();
  EXPECT_EQ(model.Count(), 0);
  EXPECT_EQ(model.rowCount(), 0);
  model.Append({});
  EXPECT_EQ(model.rowCount(), 0);
}

TEST(PlanModel, AppendsABatchInOneInsertAndTicksAllInOneChange) {
  PlanModel model;
  model.Append({Copy("/one/first")});
  std::vector<PlanRow> batch;
  for (int i = 0; i < 1000; ++i) batch.push_back(Copy("/one/" + std::to_string(i)));
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  model.Append(std::move(batch));
  ASSERT_EQ(inserted.count(), 1);
  EXPECT_EQ(inserted[0][1].toInt(), 1);
  EXPECT_EQ(inserted[0][2].toInt(), 1000);
  EXPECT_EQ(model.Row(1001).source, "/one/999");

  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  model.SetAllChecked(true);
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].toModelIndex(), model.index(0, 0));
  EXPECT_EQ(changed[0][1].toModelIndex(), model.index(1000, 0));
  EXPECT_EQ(changed[0][2].value<QList<int>>(), QList<int>{Qt::CheckStateRole});
  for (int i = 1; i <= model.Count(); ++i) ASSERT_TRUE(model.Row(i).checked) << i;
  model.SetAllChecked(false);
  EXPECT_EQ(changed.count(), 2);
  for (int i = 1; i <= model.Count(); ++i) ASSERT_FALSE(model.Row(i).checked) << i;
}

TEST(PlanModel, LetsTheUserTickOnlyTheFirstColumnAndEditNothing) {
  PlanModel model;
  model.Append({Copy("/one/a")});
  EXPECT_TRUE(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
  for (int column = 0; column < 3; ++column) {
    EXPECT_FALSE(model.flags(model.index(0, column)) & Qt::ItemIsEditable) << column;
  }
  EXPECT_FALSE(model.flags(model.index(0, 1)) & Qt::ItemIsUserCheckable);

  EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_TRUE(model.Row(1).checked);
  EXPECT_FALSE(model.setData(model.index(0, 0), QStringLiteral("/elsewhere"), Qt::EditRole));
  EXPECT_FALSE(model.setData(model.index(0, 2), Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_EQ(model.Row(1), (PlanRow{"/one/a", " could be copied to", "/two/", true}));
}

// Everything the window and the sync can read of a model.
std::vector<std::string> Shown(const PlanModel& model) {
  std::vector<std::string> shown;
  for (int r = 0; r < model.rowCount(); ++r) {
    const PlanRow row = model.Row(r + 1);
    std::string line = row.source + "|" + row.action + "|" + row.destination +
                       (row.checked ? "|ticked" : "|unticked");
    for (int column = 0; column < PlanModel::kColumnCount; ++column) {
      line += "|" + model.data(model.index(r, column)).toString().toStdString();
    }
    line += "|" + std::to_string(model.data(model.index(r, 0), Qt::CheckStateRole).toInt());
    shown.push_back(std::move(line));
  }
  return shown;
}

TEST(PlanModel, FilledFromTheCompactPlanShowsWhatItsTextRowsShow) {
  constexpr FileTime kSecond = kFileTimeTicksPerSecond;
  testing::FakeFileSystem fs;
  fs.AddFile(testing::P("/one/only1.txt"), "", 0);
  fs.AddFile(testing::P("/one/x/a.txt"), "", 0);
  fs.AddFile(testing::P("/one/b.txt"), "", 9 * kSecond);
  fs.AddFile(testing::P("/two/only2.txt"), "", 0);
  fs.AddFile(testing::P("/two/y/a.txt"), "", 9 * kSecond);
  fs.AddFile(testing::P("/two/z/b.txt"), "", 0);
  const auto plan =
      std::make_shared<const Plan>(BuildPlan(fs, testing::P("/one/"), testing::P("/two/")).plan);
  ASSERT_EQ(plan->size(), 4u);  // a copy each way and an overwrite each way

  // Each step is done to a model filled from the plan itself and to one
  // filled from its rows as text.
  PlanModel compact, texts;
  QAbstractItemModelTester tester(&compact, QAbstractItemModelTester::FailureReportingMode::Fatal);
  const std::string own = std::string(plan->Action(2));
  const auto fill = [&](PlanList& l, bool compact_rows) {
    compact_rows ? l.AppendPlan(plan) : l.Append(plan->Rows(/*checked=*/false));
  };
  const struct {
    const char* what;
    std::function<void(PlanList&, bool)> step;
  } steps[] = {
      {"appended", fill},
      {"ticked all", [](PlanList& l, bool) { l.SetAllChecked(true); }},
      {"one unticked", [](PlanList& l, bool) { l.SetChecked(2, false); }},
      {"one done", [](PlanList& l, bool) { l.SetAction(1, "Done"); }},
      {"another text", [](PlanList& l, bool) { l.SetAction(3, "could not be copied"); }},
      {"its own phrase again", [&](PlanList& l, bool) { l.SetAction(3, own); }},
      {"another text again", [](PlanList& l, bool) { l.SetAction(4, "could not be copied"); }},
      {"text rows after it",
       [](PlanList& l, bool) {
         l.Append({Copy("/one/late"), {"/one/x", " y", "/two/", true}});
       }},
      {"a text row done", [](PlanList& l, bool) { l.SetAction(6, "Done"); }},
      {"unticked all", [](PlanList& l, bool) { l.SetAllChecked(false); }},
      {"one ticked", [](PlanList& l, bool) { l.SetChecked(4, true); }},
      {"emptied", [](PlanList& l, bool) { l.Clear(); }},
      {"the plan again, nothing of the rows before left", fill},
  };
  for (const auto& [what, step] : steps) {
    step(compact, true);
    step(texts, false);
    EXPECT_EQ(Shown(compact), Shown(texts)) << what;
  }
  EXPECT_EQ(compact.Row(3).action, own);
  EXPECT_THROW(compact.Row(5), std::out_of_range);
  EXPECT_THROW(compact.SetAction(0, "Done"), std::out_of_range);
}

TEST(PlanModel, KeepsTheBytesOfANameThatIsNotUtf8) {
  PlanModel model;
  const std::string latin1 = "/one/caf\xe9.txt";
  model.Append({Copy(latin1)});
  EXPECT_EQ(model.Row(1).source, latin1);
  const QString shown = model.data(model.index(0, 0)).toString();
  EXPECT_TRUE(shown.startsWith(QStringLiteral("/one/caf")));
  EXPECT_TRUE(shown.contains(QChar::ReplacementCharacter));
}

}  // namespace
}  // namespace tandrel
