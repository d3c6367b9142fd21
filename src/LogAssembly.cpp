// Placeholder until the log assembly lands: the loop only reads.
#include "LogAssembly.h"

LogAssembly::LogAssembly(double elevCutOff) : elevCutOff_(elevCutOff) { (void)elevCutOff_; }
LogAssembly::~LogAssembly() {}
void LogAssembly::start() {}
void LogAssembly::pass(const std::string& tmp_input) { (void)tmp_input; }
std::size_t LogAssembly::keptRows() const { return 0; }
