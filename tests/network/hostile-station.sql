-- Run by station a's root in the network test (@MARKER@: a file that must
-- never be made). Tables with names that were SQL once:
CREATE TABLE UlmetDB.`v`` AS SELECT 1;CREATE USER e@'%' IDENTIFIED BY 'e';#` (id INT);
CREATE TABLE UlmetDB.`w``;GRANT ALL ON *.* TO e@'%';#` (id INT);
-- A statement-format multi-table UPDATE reaching a database named like b's
-- copy on the central server:
CREATE DATABASE UlmetDB_b;
CREATE TABLE UlmetDB_b.ipwv (id INT, ipwv_value DOUBLE);
INSERT INTO UlmetDB_b.ipwv VALUES (1, 1);
SET SESSION binlog_format = STATEMENT;
UPDATE UlmetDB.ipwv i, UlmetDB_b.ipwv j SET i.ipwv_value = 9, j.ipwv_value = 9;
-- A table replaced by a view whose rows carry tabs, newlines, quotes and
-- client commands:
DROP TABLE UlmetDB.pressure;
CREATE VIEW UlmetDB.pressure AS SELECT 900000 AS id,
  CONCAT('1', CHAR(9), 'x', CHAR(10), '2', CHAR(9), '3') AS pressure_value,
  CONCAT('\\! touch @MARKER@', CHAR(10), 'GRANT ALL ON *.* TO e@localhost') AS data;
