"""The package's own helpers, not part of its API: argument checks (``arguments``), files
written whole and read only where regular (``files``), Ctrl-C in commands (``interrupts``),
the progress bar (``progress``), policy targets' checks (``targets``) and worker processes
bound to their driver (``workers``)."""
