-- The central server as the all-stations views left it (run by the network
-- test): a view where the network-wide table goes; b's copy without
-- triggers, made from an earlier schema, without the columns added to ipwv
-- since, and none of its rows in the network-wide tables.
DROP TABLE UlmetNetwork.ipwv;
CREATE VIEW UlmetNetwork.ipwv AS SELECT 1 AS station;
DROP TRIGGER UlmetDB_b.ulmet_network_ipwv;
DROP TRIGGER UlmetDB_b.ulmet_network_troposphericDelay;
DELETE FROM UlmetNetwork.troposphericDelay WHERE station = 'b';
ALTER TABLE UlmetDB_b.ipwv DROP COLUMN pressure, DROP COLUMN temperature, DROP COLUMN humidity;
