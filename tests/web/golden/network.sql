-- A central server's copies of three stations, its list of them and the
-- transfer state of each.
DROP DATABASE IF EXISTS UlmetDB_st1; CREATE DATABASE UlmetDB_st1;
CREATE TABLE UlmetDB_st1.troposphericDelay LIKE UlmetDB.troposphericDelay; CREATE TABLE UlmetDB_st1.ipwv LIKE UlmetDB.ipwv; CREATE TABLE UlmetDB_st1.pressure LIKE UlmetDB.pressure; CREATE TABLE UlmetDB_st1.temperature LIKE UlmetDB.temperature; CREATE TABLE UlmetDB_st1.humidity LIKE UlmetDB.humidity;
DROP DATABASE IF EXISTS UlmetDB_st2; CREATE DATABASE UlmetDB_st2;
CREATE TABLE UlmetDB_st2.troposphericDelay LIKE UlmetDB.troposphericDelay; CREATE TABLE UlmetDB_st2.ipwv LIKE UlmetDB.ipwv; CREATE TABLE UlmetDB_st2.pressure LIKE UlmetDB.pressure; CREATE TABLE UlmetDB_st2.temperature LIKE UlmetDB.temperature; CREATE TABLE UlmetDB_st2.humidity LIKE UlmetDB.humidity;
DROP DATABASE IF EXISTS UlmetDB_st3; CREATE DATABASE UlmetDB_st3;
CREATE TABLE UlmetDB_st3.troposphericDelay LIKE UlmetDB.troposphericDelay; CREATE TABLE UlmetDB_st3.ipwv LIKE UlmetDB.ipwv; CREATE TABLE UlmetDB_st3.pressure LIKE UlmetDB.pressure; CREATE TABLE UlmetDB_st3.temperature LIKE UlmetDB.temperature; CREATE TABLE UlmetDB_st3.humidity LIKE UlmetDB.humidity;
DROP DATABASE IF EXISTS UlmetNetwork;
CREATE DATABASE UlmetNetwork;
CREATE TABLE UlmetNetwork.stations (name VARCHAR(32) PRIMARY KEY);
INSERT INTO UlmetNetwork.stations VALUES ('st1'), ('st2'), ('st3');
CREATE TABLE UlmetNetwork.station_status (name VARCHAR(32) PRIMARY KEY, state VARCHAR(16),
  last_error VARCHAR(255), last_success DATETIME);
INSERT INTO UlmetNetwork.station_status VALUES
  ('st2', 'failed', 'error 2003: cannot connect', NULL), ('st3', 'ok', NULL, UTC_TIMESTAMP());
CREATE VIEW UlmetNetwork.network_status AS SELECT s.name, IFNULL(t.state, 'new') AS state,
  t.last_error, TIMESTAMPDIFF(SECOND, t.last_success, UTC_TIMESTAMP()) AS lag_seconds
  FROM UlmetNetwork.stations s LEFT JOIN UlmetNetwork.station_status t USING (name);
