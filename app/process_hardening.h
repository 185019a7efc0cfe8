// What the process switches on before anything else: where it loads
// libraries from, and that it follows no link a standard user could have
// made. Each is looked up at run time; a Windows without it runs as before.
#pragma once

void HardenProcess();
