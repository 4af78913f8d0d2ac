#include "export_tool.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>

#include <fmt/printf.h>

#include "app/journal.h"

#include "export_rows.h"
#include "journal_replay.h"
#include "model/helper.h"
#include "output_file.h"
#include "tree_diff.h"

namespace exporter {

namespace {

constexpr const char* kProgram = "wexa-export: ";

std::string Pages(std::size_t count) { return fmt::sprintf("%d page%s", count, count == 1 ? "" : "s"); }

// Messages of the XML reader may span lines; the tool reports each failure on one.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

std::optional<std::string> DefaultQueueFile(const std::string& treeFile) {
  const std::filesystem::path queue = std::filesystem::path(treeFile).parent_path() / "queue.lst";
  std::error_code ec;
  if (!std::filesystem::exists(queue, ec)) return std::nullopt;
  return queue.string();
}

std::string JournalFileBeside(const std::string& treeFile) {
  return (std::filesystem::path(treeFile).parent_path() / "crawl.journal").string();
}

namespace {

// Reads the crawl's files once. Returns nullptr when the pair changed while it was read (a save of
// the running crawl replaced it): then the journal read with it may belong to the earlier pair.
std::unique_ptr<TReplayedCrawl> ReadCrawl(const TCrawlFiles& files, TExportReport& report) {
  std::vector<std::string>& notes = report.notes;
  std::optional<TJournalContents> journal;
  std::error_code error;
  if (files.journal && (std::filesystem::exists(*files.journal, error) || error)) {
    TJournalContents contents = ReadJournal(*files.journal);
    if (!contents.hasHeader) {
      notes.push_back(fmt::sprintf("%s holds no entries; exported the saved pair alone", *files.journal));
    } else if (!contents.header.pair) {
      journal.emplace(std::move(contents));
    } else if (files.queue && PairIdOfFiles(files.tree, *files.queue) == *contents.header.pair) {
      journal.emplace(std::move(contents));
    } else {
      notes.push_back(
          fmt::sprintf("%s belongs to another saved state; exported the saved pair alone", *files.journal));
    }
  }

  std::unique_ptr<TReplayedCrawl> crawl;
  if (journal && !journal->header.pair) {
    // The newer work: a crawl begun from an empty tree, whatever pair lies beside it.
    crawl = std::make_unique<TReplayedCrawl>();
    report.pairRead = false;
    notes.push_back(fmt::sprintf("%s names no saved state (a crawl begun from an empty tree); exported its %s "
                                 "alone, not %s",
                                 *files.journal, Pages(journal->pages.size()), files.tree));
  } else {
    crawl = std::make_unique<TReplayedCrawl>(TLoadedTree::Read(files.tree),
                                             files.queue ? ReadQueueIds(*files.queue) : std::vector<std::int32_t>{});
    if (journal) {
      if (PairIdOfFiles(files.tree, *files.queue) != *journal->header.pair) return nullptr;
      notes.push_back(fmt::sprintf("%s and %s with %s of %s", files.tree, *files.queue, Pages(journal->pages.size()),
                                   *files.journal));
    }
  }
  if (journal) {
    crawl->Apply(*journal, *files.journal);
    if (journal->tornAt)
      notes.push_back(fmt::sprintf("the last entry of %s is incomplete (offset %d) and was left out", *files.journal,
                                   static_cast<long long>(*journal->tornAt)));
  }
  return crawl;
}

// Reads the crawl, again when a save of the running crawl replaced the pair while it was read.
std::unique_ptr<TReplayedCrawl> ReadCrawlSteadily(const TCrawlFiles& files, TExportReport& report) {
  for (int attempt = 1; attempt <= 3; ++attempt) {
    report = TExportReport{};
    if (std::unique_ptr<TReplayedCrawl> crawl = ReadCrawl(files, report)) return crawl;
  }
  throw EInOutError(fmt::sprintf("%s was replaced by a save at each of 3 reads; export again", files.tree));
}

// The rows of the crawl in format, each handed to write as it is made.
void WriteRows(const TReplayedCrawl& crawl, TOutputFormat format, const std::function<void(std::string_view)>& write) {
  const TPendingIds pending = crawl.Pending();
  std::string text;
  if (format == ofCsv) write(CsvHeader());
  ForEachRow(crawl.Root(), pending, [&](const TExportRow& row) {
    text.clear();
    if (format == ofCsv) AppendCsvRow(text, row);
    else AppendJsonRow(text, row);
    write(text);
  });
}

std::size_t RealCategories(const TLoadedTree& tree) {
  std::size_t count = 0;
  tree.ForEachRecord([&](TBaseCategory& record) { count += dynamic_cast<TCategory*>(&record) ? 1 : 0; });
  return count;
}

}  // namespace

TExportReport ExportCrawl(const TCrawlFiles& files, TOutputFormat format, const std::string& output, bool overwrite) {
  TOutputFile file(output, overwrite);
  TExportReport report;
  const std::unique_ptr<TReplayedCrawl> crawl = ReadCrawlSteadily(files, report);
  WriteRows(*crawl, format, [&](std::string_view text) { file.Write(text); });
  file.Commit();
  return report;
}

TExportReport ExportCrawl(const TCrawlFiles& files, TOutputFormat format, std::ostream& out) {
  TExportReport report;
  const std::unique_ptr<TReplayedCrawl> crawl = ReadCrawlSteadily(files, report);
  WriteRows(*crawl, format, [&](std::string_view text) { out << text; });
  out << std::flush;
  if (!out) throw EInOutError("Cannot write to standard output.");
  return report;
}

void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                const std::string& output, bool overwrite) {
  ExportCrawl({treeFile, queueFile, std::nullopt}, format, output, overwrite);
}

void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                std::ostream& out) {
  ExportCrawl({treeFile, queueFile, std::nullopt}, format, out);
}

std::string DiffTreeFiles(const std::string& oldTree, const std::string& newTree, TOutputFormat format,
                          TDiffSummary* summary) {
  const TLoadedTree before = TLoadedTree::Read(oldTree);
  const TLoadedTree after = TLoadedTree::Read(newTree);
  std::string text;
  if (format == ofCsv) text += DiffCsvHeader();
  const std::vector<TCategoryChange> changes = DiffTrees(before.Root(), after.Root());
  std::size_t added = 0;
  for (const TCategoryChange& change : changes) {
    added += change.kind == ckAdded ? 1 : 0;
    if (format == ofCsv) AppendDiffCsvRow(text, change);
    else AppendDiffJsonRow(text, change);
  }
  if (summary) {
    summary->changes = changes.size();
    summary->oldCategories = RealCategories(before);
    summary->newCategories = RealCategories(after);
    summary->matched = summary->newCategories - added;
  }
  return text;
}

void CheckOutputIsNoInput(const std::string& output, const std::vector<std::string>& inputs) {
  if (output == "-") return;
  struct stat target {};
  if (::stat(output.c_str(), &target) != 0) return;  // a file that does not exist is no input
  if (S_ISDIR(target.st_mode)) throw EFCreateError(output + " is a directory");
  for (const std::string& input : inputs) {
    struct stat source {};
    if (::stat(input.c_str(), &source) == 0 && source.st_dev == target.st_dev && source.st_ino == target.st_ino)
      throw EFCreateError(output + " is the input " + input + "; name another output");
  }
}

int RunExportTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    const TExportOptions options = ParseCommandLine(args);
    if (options.help) {
      out << HelpText() << std::flush;
      return 0;
    }
    if (options.version) {
      out << VersionText() << std::flush;
      return 0;
    }
    const bool toStdout = options.output.empty() || options.output == "-";
    if (options.diff) {
      CheckOutputIsNoInput(options.output, options.inputs);
      TDiffSummary summary;
      if (!toStdout) {
        // Refused before the trees are read, as an export does.
        TOutputFile file(options.output, options.force);
        file.Write(DiffTreeFiles(options.inputs[0], options.inputs[1], options.format, &summary));
        file.Commit();
      } else {
        out << DiffTreeFiles(options.inputs[0], options.inputs[1], options.format, &summary) << std::flush;
      }
      if (summary.matched == 0 && summary.oldCategories > 0 && summary.newCategories > 0) {
        err << kProgram << "no address of " << options.inputs[0] << " is in " << options.inputs[1]
            << ": the two trees are of different directories or hosts\n" << std::flush;
      }
      return summary.changes == 0 ? 0 : 1;
    }
    TCrawlFiles files;
    files.tree = options.inputs[0];
    files.queue = options.queue ? options.queue : DefaultQueueFile(files.tree);
    const std::string journal = JournalFileBeside(files.tree);
    std::error_code error;
    const bool journalThere = std::filesystem::exists(journal, error) || error;
    if (!options.noJournal) files.journal = journal;
    std::vector<std::string> inputs{files.tree};
    if (files.queue) inputs.push_back(*files.queue);
    if (journalThere) inputs.push_back(journal);
    CheckOutputIsNoInput(options.output, inputs);
    const TExportReport report = toStdout ? ExportCrawl(files, options.format, out)
                                          : ExportCrawl(files, options.format, options.output, options.force);
    for (const std::string& note : report.notes) err << kProgram << note << '\n';
    if (options.noJournal && journalThere)
      err << kProgram << journal << " was not read (--no-journal); exported the saved pair alone\n";
    if (!files.queue && report.pairRead) {
      err << kProgram << "no queue.lst beside " << files.tree << "; every real category counts as visited\n";
    }
    err << std::flush;
    return 0;
  } catch (const EUsageError& error) {
    err << kProgram << OneLine(error.Message()) << " (see --help)\n" << std::flush;
  } catch (const EJournalError& error) {
    err << kProgram << OneLine(error.Message()) << '\n' << std::flush;
    return 1;
  } catch (const Exception& error) {
    err << kProgram << OneLine(InputErrorText(error.InputFile(), error.InputLine(), error.Message())) << '\n'
        << std::flush;
  } catch (const std::exception& error) {
    err << kProgram << OneLine(error.what()) << '\n' << std::flush;
  }
  return 2;
}

}  // namespace exporter
