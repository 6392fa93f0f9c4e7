#pragma once

// Registers every scenario of a run with GoogleTest, once for each way it runs
// (cases named <Way>.<Scenario>). Called before the cases are listed or run.
void RegisterScenarios();
