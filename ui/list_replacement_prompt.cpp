// The two questions around a replaced server list, through the message-box seam.
#include "ui/list_replacement_prompt.h"

#include <QStringList>

#include "core/event_log.h"
#include "core/server_list.h"
#include "ui/message_box.h"

namespace tavrix::ui {

namespace {
constexpr std::size_t kNamesShown = 5;

QString label_of(const tavrix::ServerList& list, int index) {
  const tavrix::ServerRecord* rec = list.server_at(index);
  return rec ? QString::fromStdString(tavrix::server_label(*rec)) : QString();
}

QString servers_word(std::size_t n) {
  return n == 1 ? QStringLiteral("server") : QStringLiteral("servers");
}

// "a; b; c and 2 more": the first few labels of a longer list.
QString some_names(const std::vector<QString>& names) {
  QStringList shown;
  for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i) shown << names[i];
  QString text = shown.join(QStringLiteral("; "));
  if (names.size() > kNamesShown)
    text += QStringLiteral(" and %1 more").arg(names.size() - kNamesShown);
  return text;
}
}  // namespace

std::vector<tavrix::ListedServer> listed_servers(const tavrix::ServerList& list) {
  std::vector<tavrix::ListedServer> out;
  for (int i = 0; i < list.server_count(); ++i) {
    const tavrix::ServerRecord* rec = list.server_at(i);
    if (rec) out.push_back({tavrix::identity_of(*rec), rec->monitoring.load() == 1});
  }
  return out;
}

bool confirm_dropping_monitored(QWidget* parent, const tavrix::ServerList& list,
                                const std::vector<qeld::DeviceIdentity>& next) {
  const tavrix::ListReplacement plan = tavrix::plan_list_replacement(listed_servers(list), next);
  if (plan.dropped_monitored.empty()) return true;
  std::vector<QString> names;
  for (int i : plan.dropped_monitored) names.push_back(label_of(list, i));
  const QString text =
      QStringLiteral(
          "%1 monitored %2 not among the ticked ones and will no longer be monitored: "
          "%3.\nReplace the server list?")
          .arg(names.size())
          .arg(names.size() == 1 ? QStringLiteral("server is") : QStringLiteral("servers are"))
          .arg(some_names(names));
  return message_box(parent, text, MsgIcon::Warning, MsgButtons::YesCancel) == MsgResult::Yes;
}

int offer_to_resume(QWidget* parent, const tavrix::ServerList& list,
                    const std::vector<tavrix::ListedServer>& before,
                    const std::function<bool(int)>& start) {
  std::vector<qeld::DeviceIdentity> now;
  for (const auto& s : listed_servers(list)) now.push_back(s.identity);
  // A list left as it was (a cancelled search) is still monitored: nothing to offer.
  std::vector<int> idle;
  for (int i : tavrix::plan_list_replacement(before, now).resumable)
    if (const tavrix::ServerRecord* rec = list.server_at(i); rec && rec->monitoring.load() == 0)
      idle.push_back(i);
  if (idle.empty()) return 0;
  std::vector<QString> names;
  for (int i : idle) names.push_back(label_of(list, i));
  const QString text = QStringLiteral(
                           "%1 %2 monitored before %3 in the new list: %4.\n"
                           "Go on monitoring %5?")
                           .arg(names.size())
                           .arg(servers_word(names.size()))
                           .arg(names.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"))
                           .arg(some_names(names))
                           .arg(names.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
  if (message_box(parent, text, MsgIcon::Information, MsgButtons::YesCancel) != MsgResult::Yes)
    return 0;
  int started = 0;
  for (int i : idle) started += start(i) ? 1 : 0;
  return started;
}

}  // namespace tavrix::ui
