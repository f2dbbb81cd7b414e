#include "programs/kestran/plugin_list_watch.h"

#include "config/plugin1.h"
#include "config/receiver_settings.h"
#include "service/ntobj.h"

namespace kestran {

TPluginListWatch::TPluginListWatch(std::string path, TPluginUsers& users, TReport report)
    : path_(std::move(path)), users_(users), report_(std::move(report)) {}

void TPluginListWatch::Load() {
  Look(true);
}

void TPluginListWatch::Tick(int64_t nowMs) {
  if (nowMs < nextMs_) return;
  nextMs_ = nowMs + kIntervalMs;
  Look(false);
}

void TPluginListWatch::Look(bool first) {
  std::string text;
  if (!ReadPlugin1File(path_, text)) {
    // At start a missing file is an empty list, as it always was.
    if (first) {
      users_.Replace({}, {});
      failing_ = true;
      return;
    }
    if (!failing_ && report_)
      report_(kLogWarning, "The plug-in list file '" + path_ +
                               "' cannot be read; the last list read stays in use");
    failing_ = true;
    return;
  }
  failing_ = false;
  if (!first && text == contents_) return;
  TReceiverSettings lists;
  ParsePlugin1List(text, lists);
  users_.Replace(lists.LocalUsers, lists.SkipUserVerify);
  contents_ = std::move(text);
  if (!first && report_)
    report_(kLogInformation, "The plug-in list file '" + path_ + "' was read again (" +
                                 std::to_string(lists.LocalUsers.size()) + " names, " +
                                 std::to_string(lists.SkipUserVerify.size()) + " domains)");
}

}  // namespace kestran
