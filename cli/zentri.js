#!/usr/bin/env node
'use strict';
// Entry of the `zentri` tool; bin/zentri starts it with its output on descriptor 3.
require('./main').main();
