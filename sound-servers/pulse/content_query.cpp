#include "sound-servers/pulse/content_query.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "protocol/capture_texts.h"
#include "sound-servers/pulse/connection.h"

namespace brimlow::platform::pulse {

namespace {

std::vector<capture::RunningApplication> runningProcesses() {
  std::vector<capture::RunningApplication> processes;
  DIR* proc = ::opendir("/proc");
  if (!proc) return processes;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
    std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    processes.push_back({static_cast<pid_t>(pid), name});
  }
  ::closedir(proc);
  std::sort(processes.begin(), processes.end(),
            [](const auto& a, const auto& b) { return a.processID < b.processID; });
  return processes;
}

// With the lock held: the outputs, the default one first, the rest in the server's order.
std::optional<CaptureError> listOutputs(Connection& connection,
                                        std::vector<capture::Display>& displays) {
  std::string defaultOutput;
  if (auto error = connection.get(&pa_context_get_server_info, "pa_context_get_server_info",
                                  protocol::kServerInfoFailed, [&](const pa_server_info& info) {
                                    if (info.default_sink_name)
                                      defaultOutput = info.default_sink_name;
                                  }))
    return error;
  if (auto error = connection.list(&pa_context_get_sink_info_list, "pa_context_get_sink_info_list",
                                   protocol::kOutputsListFailed, [&](const pa_sink_info& info) {
                                     displays.push_back({info.index, info.name});
                                   }))
    return error;
  std::stable_partition(displays.begin(), displays.end(),
                        [&](const capture::Display& d) { return d.name == defaultOutput; });
  return std::nullopt;
}

// With the lock held: the server's clients that declare their process.
std::optional<CaptureError> listClients(Connection& connection,
                                        std::vector<capture::RunningApplication>& applications) {
  return connection.list(&pa_context_get_client_info_list, "pa_context_get_client_info_list",
                         protocol::kApplicationsListFailed, [&](const pa_client_info& info) {
                           if (auto pid = processIdOf(info.proplist))
                             applications.push_back({*pid, info.name ? info.name : ""});
                         });
}

}  // namespace

Expected<capture::ShareableContent, CaptureError> queryContent(std::chrono::milliseconds timeout) {
  auto opened = Connection::open(timeout);
  if (!opened) return unexpected(opened.error());
  Connection& connection = **opened;
  capture::ShareableContent content;
  {
    LoopLock lock(connection.loop());
    if (auto error = listOutputs(connection, content.displays)) return unexpected(*error);
    if (auto error = listClients(connection, content.applications)) return unexpected(*error);
  }
  // Any process may start playing later, so every running one can be left out, not only
  // those connected to the server now.
  std::set<pid_t> listed;
  for (const auto& app : content.applications) listed.insert(app.processID);
  for (auto& process : runningProcesses())
    if (listed.insert(process.processID).second) content.applications.push_back(process);
  return content;
}

}  // namespace brimlow::platform::pulse
