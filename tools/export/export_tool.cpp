#include "export_tool.h"

#include <filesystem>

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

void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                const std::string& output, bool overwrite) {
  TOutputFile file(output, overwrite);
  const TLoadedTree tree = TLoadedTree::Read(treeFile);
  const TPendingIds pending = queueFile ? ReadPendingIds(*queueFile) : TPendingIds{};
  std::string text;
  if (format == ofCsv) file.Write(CsvHeader());
  ForEachRow(tree.Root(), pending, [&](const TExportRow& row) {
    text.clear();
    if (format == ofCsv) AppendCsvRow(text, row);
    else AppendJsonRow(text, row);
    file.Write(text);
  });
  file.Commit();
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
    const std::string& treeFile = options.inputs[0];
    std::optional<std::string> queueFile = options.queue ? options.queue : DefaultQueueFile(treeFile);
    ExportTree(treeFile, queueFile, options.format, options.output, options.force);
    if (!queueFile) {
      err << kProgram << "no queue.lst beside " << treeFile << "; every real category counts as visited\n" << std::flush;
    }
    return 0;
  } catch (const EUsageError& error) {
    err << kProgram << OneLine(error.Message()) << " (see --help)\n" << std::flush;
  } catch (const Exception& error) {
    err << kProgram << OneLine(error.Message()) << '\n' << std::flush;
  } catch (const std::exception& error) {
    err << kProgram << OneLine(error.what()) << '\n' << std::flush;
  }
  return 2;
}

}  // namespace exporter
