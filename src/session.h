// Building and destroying a session: the one place that sees the types of every area a session
// owns (package store, sequences, string tables, actions, product set) and wires the product
// model's computed properties into the property store.
#pragma once

#include "env.h"
