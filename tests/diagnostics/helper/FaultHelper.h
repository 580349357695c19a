#pragma once
class TMainForm {
 public:
  int CheckMapFile();
};
