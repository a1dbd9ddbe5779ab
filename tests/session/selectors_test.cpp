// Tests arrive with their unit.
