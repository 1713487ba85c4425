#pragma once
// Everything of the transfer engine in one include.

#include "qz/control.hpp"
#include "qz/exception.hpp"
#include "qz/log.hpp"
#include "qz/name.hpp"
#include "qz/options.hpp"
#include "qz/rates.hpp"
#include "qz/stats.hpp"
#include "qz/version.hpp"
