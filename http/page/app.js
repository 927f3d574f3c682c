// The page's script: its own helper writes it.
"use strict";
