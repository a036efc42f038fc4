// The kit's claim of the terminal session (PbLoadParameters), played by
// program threads of one terminal model against a stand-in module. Returns
// the number of failed rows; `round` numbers the printed lines.
#pragma once

int ClaimTable(int& round);
