-- Functions the stored statements call that PostgreSQL lacks.
-- ISNULL(value, replacement): the value, or the replacement where it is null.
-- Written without dollar quoting: the set-up splits scripts at ";".

CREATE OR REPLACE FUNCTION ISNULL(anycompatible, anycompatible)
RETURNS anycompatible LANGUAGE SQL IMMUTABLE
AS 'SELECT COALESCE($1, $2)';
