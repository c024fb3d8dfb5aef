#include "quillon/app/folders.h"

#include <sys/stat.h>

#include <cerrno>

const std::string_view FOLDERS_DITTIES[41] = {
    "ANA",
    "ATL",
    "BOS",
    "BUF",
    "CAR",
    "CBJ",
    "CGY",
    "CHI",
    "COL",
    "CUP_PRESENTATION",
    "DAL",
    "DET",
    "EDM",
    "END_OF_PERIOD",
    "FIGHT",
    "FLO",
    "GOAL_AWAY",
    "GENERIC",
    "GOAL_HOME",
    "LOS",
    "MON",
    "MSW",
    "NAS",
    "NJD",
    "NYI",
    "NYR",
    "OTT",
    "PEN_AWAY",
    "PHI",
    "PEN_HOME",
    "PHX",
    "PIT",
    "PLAYOFF_SERIES_WIN",
    "PUCK_OVER",
    "SAN",
    "STL",
    "TAM",
    "TOR",
    "TIME_RUNNING_OUT",
    "VAN",
    "WAS",
};

namespace {

bool makefolder(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

}  // namespace

std::string folders_create(const std::string& documents) {
  if (documents.empty() || !makefolder(documents)) return {};
  std::string root = documents;
  if (root.back() != '/' && root.back() != '\\') root += '/';
  root += "KRV 2003";
  const std::string ditties = root + "/USER/ditties/";
  makefolder(root);
  makefolder(root + "/USER");
  makefolder(root + "/USER/menu tunes");
  makefolder(ditties);
  for (std::string_view name : FOLDERS_DITTIES) makefolder(ditties + std::string(name));
  // The folder that was made, in its own letter case: on a case-sensitive file system the
  // upper-case spelling would name a second folder that does not exist.
  return ditties;
}
