#pragma once
// The cells of tests/data/smtp/fault_matrix.txt as session scenarios (the
// text of a .scenario file), by name: "matrix_STAGE_FAULT", and
// "matrix_STAGE_FAULT_LOGIN" for a cell repeated under another login.
#include <map>
#include <string>

const std::map<std::string, std::string>& faultMatrixCells();
