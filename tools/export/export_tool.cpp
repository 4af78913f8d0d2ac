#include "export_tool.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "export_rows.h"
#include "model/helper.h"
#include "output_file.h"
#include "tree_diff.h"

namespace exporter {

namespace {

constexpr const char* kProgram = "wexa-export: ";

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

namespace {

// The rows of treeFile in format, each handed to write as it is made.
void WriteRows(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
               const std::function<void(std::string_view)>& write) {
  const TLoadedTree tree = TLoadedTree::Read(treeFile);
  const TPendingIds pending = queueFile ? ReadPendingIds(*queueFile) : TPendingIds{};
  std::string text;
  if (format == ofCsv) write(CsvHeader());
  ForEachRow(tree.Root(), pending, [&](const TExportRow& row) {
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

void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                const std::string& output, bool overwrite) {
  TOutputFile file(output, overwrite);
  WriteRows(treeFile, queueFile, format, [&](std::string_view text) { file.Write(text); });
  file.Commit();
}

void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                std::ostream& out) {
  WriteRows(treeFile, queueFile, format, [&](std::string_view text) { out << text; });
  out << std::flush;
  if (!out) throw EInOutError("Cannot write to standard output.");
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
    const std::string& treeFile = options.inputs[0];
    std::optional<std::string> queueFile = options.queue ? options.queue : DefaultQueueFile(treeFile);
    std::vector<std::string> inputs{treeFile};
    if (queueFile) inputs.push_back(*queueFile);
    CheckOutputIsNoInput(options.output, inputs);
    if (toStdout) {
      ExportTree(treeFile, queueFile, options.format, out);
    } else {
      ExportTree(treeFile, queueFile, options.format, options.output, options.force);
    }
    if (!queueFile) {
      err << kProgram << "no queue.lst beside " << treeFile << "; every real category counts as visited\n" << std::flush;
    }
    return 0;
  } catch (const EUsageError& error) {
    err << kProgram << OneLine(error.Message()) << " (see --help)\n" << std::flush;
  } catch (const Exception& error) {
    err << kProgram << OneLine(InputErrorText(error.InputFile(), error.InputLine(), error.Message())) << '\n'
        << std::flush;
  } catch (const std::exception& error) {
    err << kProgram << OneLine(error.what()) << '\n' << std::flush;
  }
  return 2;
}

}  // namespace exporter
