#include "export_tool.h"

#include <filesystem>
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

}  // namespace

TExportReport ExportCrawl(const TCrawlFiles& files, TOutputFormat format, const std::string& output, bool overwrite) {
  TOutputFile file(output, overwrite);
  TExportReport report;
  std::unique_ptr<TReplayedCrawl> crawl;
  for (int attempt = 1; !crawl; ++attempt) {
    if (attempt > 3)
      throw EInOutError(fmt::sprintf("%s was replaced by a save at each of 3 reads; export again", files.tree));
    report = TExportReport{};
    crawl = ReadCrawl(files, report);
  }

  const TPendingIds pending = crawl->Pending();
  std::string text;
  if (format == ofCsv) file.Write(CsvHeader());
  ForEachRow(crawl->Root(), pending, [&](const TExportRow& row) {
    text.clear();
    if (format == ofCsv) AppendCsvRow(text, row);
    else AppendJsonRow(text, row);
    file.Write(text);
  });
  file.Commit();
  return report;
}

void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                const std::string& output, bool overwrite) {
  ExportCrawl({treeFile, queueFile, std::nullopt}, format, output, overwrite);
}

std::string DiffTreeFiles(const std::string& oldTree, const std::string& newTree, TOutputFormat format) {
  const TLoadedTree before = TLoadedTree::Read(oldTree);
  const TLoadedTree after = TLoadedTree::Read(newTree);
  std::string text;
  if (format == ofCsv) text += DiffCsvHeader();
  for (const TCategoryChange& change : DiffTrees(before.Root(), after.Root())) {
    if (format == ofCsv) AppendDiffCsvRow(text, change);
    else AppendDiffJsonRow(text, change);
  }
  return text;
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
    if (options.diff) {
      if (!options.output.empty()) {
        // Refused before the trees are read, as an export does.
        TOutputFile file(options.output, options.force);
        file.Write(DiffTreeFiles(options.inputs[0], options.inputs[1], options.format));
        file.Commit();
      } else {
        out << DiffTreeFiles(options.inputs[0], options.inputs[1], options.format) << std::flush;
      }
      return 0;
    }
    TCrawlFiles files;
    files.tree = options.inputs[0];
    files.queue = options.queue ? options.queue : DefaultQueueFile(files.tree);
    const std::string journal = JournalFileBeside(files.tree);
    std::error_code error;
    const bool journalThere = std::filesystem::exists(journal, error) || error;
    if (!options.noJournal) files.journal = journal;
    const TExportReport report = ExportCrawl(files, options.format, options.output, options.force);
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
    err << kProgram << OneLine(error.Message()) << '\n' << std::flush;
  } catch (const std::exception& error) {
    err << kProgram << OneLine(error.what()) << '\n' << std::flush;
  }
  return 2;
}

}  // namespace exporter
